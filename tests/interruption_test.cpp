// lumetrim stopped by a signal while it writes its destination: the folder
// holds nothing new and an existing destination is as it was, for the unnamed
// file of most file systems and for the named temporary file of the others.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <set>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

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
        make_media(p, "-f lavfi -i testsrc=size=64x48:rate=25 -f lavfi -i "
                      "'anoisesrc=c=pink:a=0.2:r=48000:d=30:seed=7' -filter_complex '[1:a]pan=7.1|c0=c0|c1=0.9*c0|"
                      "c2=0.8*c0|c3=0.7*c0|c4=0.6*c0|c5=0.5*c0|c6=0.4*c0|c7=0.3*c0[a]' -map 0:v -map '[a]' -t 30 "
                      "-c:v mpeg2video -b:v 20k -c:a pcm_s24le -f mxf");
        return p;
    }();
    return path;
}

std::set<std::string> folder_entries(const std::string& dir)
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

// Whether the process holds the destination's unfinished file open: an
// unnamed file in the folder, or a hidden temporary one.
bool writing_into(pid_t pid, const std::string& dir)
{
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(fds, ec)) {
        char target[4096];
        const ssize_t n = readlink(entry.path().c_str(), target, sizeof target - 1);
        if (n <= 0)
            continue;
        const std::string t(target, static_cast<size_t>(n));
        if (t.rfind(dir + "/", 0) != 0)
            continue;
        const std::string name = t.substr(dir.size() + 1);
        if (name.find("(deleted)") != std::string::npos || name[0] == '.')
            return true;
    }
    return false;
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

// Runs normalisations until one is caught writing, stops it there, sends it
// sig and returns its wait status; -1 when none could be caught.
int interrupt_while_writing(const std::string& dst, bool named, int sig, int ignored = 0)
{
    const std::string dir = std::filesystem::path(dst).parent_path().string();
    for (int attempt = 0; attempt < 6; ++attempt) {
        const pid_t pid = start_normalisation(dst, named, ignored);
        bool caught = false;
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (writing_into(pid, dir)) {
                kill(pid, SIGSTOP);
                waitpid(pid, &status, WUNTRACED);
                // Still unfinished once stopped: the signal lands mid-write.
                caught = writing_into(pid, dir);
                kill(pid, sig);
                kill(pid, SIGCONT);
                waitpid(pid, &status, 0);
                break;
            }
            usleep(200);
        }
        if (caught)
            return status;
    }
    return -1;
}

}  // namespace

TEST(Interruption, ASignalWhileWritingLeavesNothingBehind)
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
                const std::string what = std::string(named ? "named" : "unnamed") + " file, signal " +
                                         strsignal(sig) + (existing ? ", replacing a file" : "");
                std::filesystem::remove(dst);
                if (existing) {
                    FILE* f = fopen(dst.c_str(), "wb");
                    fwrite(old.data(), 1, old.size(), f);
                    fclose(f);
                }
                const std::set<std::string> before = folder_entries(dir);
                const int status = interrupt_while_writing(dst, named, sig);
                ASSERT_NE(status, -1) << what << ": never caught writing";
                EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << what << ": status " << status;
                EXPECT_EQ(folder_entries(dir), before) << what;
                if (existing) {
                    EXPECT_EQ(read_file(dst), old) << what;
                }
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
        const int status = interrupt_while_writing(dst, named, SIGHUP, SIGHUP);
        ASSERT_NE(status, -1) << named;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << named << ": status " << status;
        expect_only_samples_changed(long_source(), dst);
    }
    EXPECT_EQ(folder_entries(dir), (std::set<std::string>{"named.mxf", "unnamed.mxf"}));
}
