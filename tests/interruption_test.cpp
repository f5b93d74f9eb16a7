// lumetrim stopped by a signal while it writes its destination, at any
// moment from the first byte to the final rename: the destination is either
// exactly the file that was there (or still absent) or exactly the complete
// new file, and the folder holds nothing else new. For the unnamed file of
// most file systems and for the named temporary file of the others.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "inplace_norm.h"
#include "support.h"

namespace {

const std::string lumetrim = LUMETRIM_PATH;

// Half a minute of 8 channels of 24-bit audio: long enough to be caught writing.
const std::string& long_source()
{
    static const std::string path = [] {
        const std::string dir = scratch_dir() + "/sources";
        std::filesystem::create_directories(dir);
        const std::string p = dir + "/long.mxf";
        make_media(p,
                   "-f lavfi -i testsrc=size=64x48:rate=25 -f lavfi -i "
                   "'anoisesrc=c=pink:a=0.2:r=48000:d=30:seed=7' -filter_complex '[1:a]pan=7.1|c0=c0|c1=0.9*c0|"
                   "c2=0.8*c0|c3=0.7*c0|c4=0.6*c0|c5=0.5*c0|c6=0.4*c0|c7=0.3*c0[a]' -map 0:v -map '[a]' -t 30 "
                   "-c:v mpeg2video -b:v 20k -c:a pcm_s24le -f mxf");
        return p;
    }();
    return path;
}

// The destination an uninterrupted run writes: the only new file an
// interrupted one may leave.
const std::vector<uint8_t>& complete_output()
{
    static const std::vector<uint8_t> bytes = [] {
        const std::string dir = scratch_dir() + "/complete";
        std::filesystem::create_directories(dir);
        const std::string dst = dir + "/out.mxf";
        const run_result r = run(sh(lumetrim) + " " + sh(long_source()) + " -20 " + sh(dst));
        EXPECT_EQ(r.status, 0) << r.err;
        return read_file(dst);
    }();
    return bytes;
}

std::set<std::string> folder_entries(const std::string& dir)
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

// The names in dir that were not there before the run, the destination's
// aside.
std::set<std::string> new_entries(const std::string& dir, const std::set<std::string>& before, const std::string& dst)
{
    std::set<std::string> names = folder_entries(dir);
    for (const std::string& name : before)
        names.erase(name);
    names.erase(std::filesystem::path(dst).filename().string());
    return names;
}

// The size of the file the run writes for dst, or -1 while it has none: a
// file of the folder that the process holds open (an unnamed file shows as
// deleted), or a name new to the folder beside dst.
int64_t unfinished_size(pid_t pid, const std::string& dst, const std::set<std::string>& before)
{
    const std::string dir = std::filesystem::path(dst).parent_path().string();
    int64_t size = -1;
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(fds, ec)) {
        char target[4096];
        const ssize_t n = readlink(entry.path().c_str(), target, sizeof target - 1);
        struct stat st;
        if (n > 0 && std::string(target, static_cast<size_t>(n)).starts_with(dir + "/") &&
            stat(entry.path().c_str(), &st) == 0)
            size = std::max<int64_t>(size, st.st_size);
    }
    for (const std::string& name : new_entries(dir, before, dst)) {
        struct stat st;
        if (stat((dir + "/" + name).c_str(), &st) == 0)
            size = std::max<int64_t>(size, st.st_size);
    }
    return size;
}

// Starts a normalisation of the long source into dst, in a child process
// with no core dumps: the real program, or (named) the same steps through
// the library with the named temporary file.
pid_t start_normalisation(const std::string& dst, bool named, int ignored = 0)
{
    const std::string src = long_source();  // made here, never in a child
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    if (ignored != 0)
        signal(ignored, SIG_IGN);
    const rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    const int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, 0);
    dup2(devnull, 1);
    dup2(devnull, 2);
    if (!named) {
        execl(lumetrim.c_str(), lumetrim.c_str(), src.c_str(), "-20", dst.c_str(), nullptr);
        _exit(127);
    }
    inplace_norm_ctx* ctx = nullptr;
    int r = inplace_norm_create(&ctx, src.c_str());
    if (r > 0) {
        ctx->unnamed_destination = false;
        inplace_norm_meters_init(ctx);
        r = inplace_norm_read(ctx);
        if (r == 0)
            r = inplace_norm_normalize(ctx, dst.c_str(), -20);
    }
    _exit(r & 0xff);
}

// The moments at which a run is stopped: as soon as the file it writes
// appears, half-way, with every byte written (while the file is flushed, given
// its mode, linked and renamed into place), and once the complete file is in
// place (while the run ends).
enum class moment { appears, half_written, written, placed };

const char* moment_name(moment m)
{
    switch (m) {
    case moment::appears: return "as its file appears";
    case moment::half_written: return "half-way";
    case moment::written: return "with every byte written";
    case moment::placed: return "with the file in place";
    }
    return "";
}

bool reached(moment m, pid_t pid, const std::string& dst, const std::set<std::string>& before)
{
    const int64_t full = static_cast<int64_t>(complete_output().size());
    struct stat st;
    switch (m) {
    case moment::appears: return unfinished_size(pid, dst, before) >= 0;
    case moment::half_written: return unfinished_size(pid, dst, before) >= full / 2;
    case moment::written: return unfinished_size(pid, dst, before) >= full;
    case moment::placed: return stat(dst.c_str(), &st) == 0 && st.st_size == full;
    }
    return false;
}

struct interruption {
    bool signalled = false;  // the signal was sent; otherwise the run went on to its end
    bool caught = false;     // it was sent while the run still held its file open or beside dst
    int status = 0;          // wait status
};

// Runs one normalisation of the long source into dst, stops it at the
// moment m, sends it sig and lets it go on. A run that ends before it is
// stopped is let be.
//
// SIGKILL cannot be held back: between linking the finished file to a
// hidden name and renaming that over an existing destination, it would
// leave the complete copy under the hidden name. A run stopped in that
// instant is let go on to its end instead.
interruption interrupt_at(const std::string& dst, bool named, int sig, moment m, int ignored = 0)
{
    const std::string dir = std::filesystem::path(dst).parent_path().string();
    const std::set<std::string> before = folder_entries(dir);
    complete_output();  // made here, never while a run is watched
    const pid_t pid = start_normalisation(dst, named, ignored);
    interruption r;
    while (waitpid(pid, &r.status, WNOHANG) == 0) {
        if (!reached(m, pid, dst, before)) {
            usleep(200);
            continue;
        }
        kill(pid, SIGSTOP);
        waitpid(pid, &r.status, WUNTRACED);
        if (!WIFSTOPPED(r.status))
            return r;
        if (sig == SIGKILL && !new_entries(dir, before, dst).empty()) {
            kill(pid, SIGCONT);
            waitpid(pid, &r.status, 0);
            return r;
        }
        r.signalled = true;
        r.caught = unfinished_size(pid, dst, before) >= 0;
        kill(pid, sig);
        kill(pid, SIGCONT);
        waitpid(pid, &r.status, 0);
        return r;
    }
    return r;
}

// Fails the current test unless dst is the old file (absent when there was
// none) or the complete new one, and the folder holds nothing else new.
void expect_old_or_complete(const std::string& dst, const std::vector<uint8_t>* old,
                            const std::set<std::string>& before, const std::string& what)
{
    const std::string dir = std::filesystem::path(dst).parent_path().string();
    EXPECT_EQ(new_entries(dir, before, dst), std::set<std::string>{}) << what;
    if (!std::filesystem::exists(dst)) {
        EXPECT_EQ(old, nullptr) << what << ": the destination is gone";
        return;
    }
    const std::vector<uint8_t> now = read_file(dst);
    EXPECT_TRUE(now == complete_output() || (old && now == *old))
        << what << ": the destination is neither the old file nor the complete new one (" << now.size() << " bytes)";
}

// Puts the old file (if any) at dst, interrupts a run into it at the moment
// m with sig, and fails the current test unless the run died by the signal
// (or, when it was not stopped in time, ended well) and left dst the old
// file or the complete new one, with nothing else new in the folder.
// Returns whether the signal came while the run still held its file.
bool interrupt_and_check(const std::string& dst, bool named, int sig, moment m, const std::vector<uint8_t>* old,
                         const std::string& what)
{
    const std::string when = what + ", stopped " + moment_name(m);
    std::filesystem::remove(dst);
    if (old) {
        FILE* f = fopen(dst.c_str(), "wb");
        fwrite(old->data(), 1, old->size(), f);
        fclose(f);
    }
    const std::set<std::string> before = folder_entries(std::filesystem::path(dst).parent_path().string());
    const interruption r = interrupt_at(dst, named, sig, m);
    if (r.signalled) {
        EXPECT_TRUE(WIFSIGNALED(r.status) && WTERMSIG(r.status) == sig) << when << ": status " << r.status;
    } else {
        EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0)
            << when << ": not stopped in time, status " << r.status;
    }
    expect_old_or_complete(dst, old, before, when);
    return r.caught;
}

}  // namespace

TEST(Interruption, ASignalWhileWritingLeavesTheOldOrTheCompleteFile)
{
    const std::string dir = scratch_dir() + "/interrupted";
    std::filesystem::create_directories(dir);
    const std::string dst = dir + "/out.mxf";
    const std::vector<uint8_t> old = {'o', 'l', 'd'};
    for (bool named : {false, true}) {
        // A named file cannot outlive SIGKILL's lack of a handler; an unnamed
        // one has no name to outlive it.
        std::vector<int> signals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
        if (!named)
            signals.push_back(SIGKILL);
        for (int sig : signals)
            for (bool existing : {true, false}) {
                const std::string what = std::string(named ? "named" : "unnamed") + " file, signal " + strsignal(sig) +
                    (existing ? ", replacing a file" : "");
                const std::vector<uint8_t>* before = existing ? &old : nullptr;
                bool caught = false;
                for (moment m : {moment::appears, moment::half_written, moment::written, moment::placed})
                    caught = interrupt_and_check(dst, named, sig, m, before, what) || caught;
                // A run may end before it is stopped, or be stopped only when
                // it is done with its file: then more are stopped as soon as
                // their file appears, until one is caught with it.
                for (int extra = 0; !caught && extra < 20; ++extra)
                    caught = interrupt_and_check(dst, named, sig, moment::appears, before, what);
                EXPECT_TRUE(caught) << what << ": never caught writing";
            }
    }
}

TEST(Interruption, AFinishedRunLeavesOnlyTheDestination)
{
    const std::string dir = scratch_dir() + "/finished";
    std::filesystem::create_directories(dir);
    const std::string a = dir + "/unnamed.mxf", b = dir + "/named.mxf";
    for (bool named : {false, true}) {
        const pid_t pid = start_normalisation(named ? b : a, named);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << named;
    }
    EXPECT_EQ(folder_entries(dir), (std::set<std::string>{"named.mxf", "unnamed.mxf"}));
    EXPECT_TRUE(read_file(a) == read_file(b));
    expect_only_samples_changed(long_source(), a);
}

TEST(Interruption, ASignalTheCallerIgnoresStaysIgnored)
{
    // nohup and background jobs ignore SIGHUP and SIGINT: the run goes on.
    const std::string dir = scratch_dir() + "/ignored";
    std::filesystem::create_directories(dir);
    for (bool named : {false, true}) {
        const std::string dst = dir + (named ? "/named.mxf" : "/unnamed.mxf");
        interruption r;
        for (int attempt = 0; attempt < 20 && !r.caught; ++attempt)
            r = interrupt_at(dst, named, SIGHUP, moment::half_written, SIGHUP);
        EXPECT_TRUE(r.caught) << named << ": never caught writing";
        EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0) << named << ": status " << r.status;
        EXPECT_TRUE(read_file(dst) == complete_output()) << named;
        expect_only_samples_changed(long_source(), dst);
    }
    EXPECT_EQ(folder_entries(dir), (std::set<std::string>{"named.mxf", "unnamed.mxf"}));
}
