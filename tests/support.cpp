#include "support.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct scratch {
    std::string path;
    scratch()
    {
        char templ[] = "/tmp/lumetools-test.XXXXXX";
        path = mkdtemp(templ);
    }
    ~scratch() { std::filesystem::remove_all(path); }
};

double field_after(const std::string& text, const std::string& key)
{
    const size_t at = text.rfind(key);
    if (at == std::string::npos)
        return 0.0 / 0.0;
    const std::string rest = text.substr(at + key.size());
    if (rest.find("-inf") == rest.find_first_not_of(' '))
        return -1.0 / 0.0;
    return std::strtod(rest.c_str(), nullptr);
}

}  // namespace

const std::string& scratch_dir()
{
    static scratch dir;
    return dir.path;
}

std::string sh(const std::string& word)
{
    std::string q = "'";
    for (char c : word)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

run_result run(const std::string& command)
{
    const std::string out = scratch_dir() + "/.stdout", err = scratch_dir() + "/.stderr";
    const int raw = std::system(("(" + command + ") >" + sh(out) + " 2>" + sh(err) + " </dev/null").c_str());
    run_result r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
}

run_result run_program(const std::vector<std::string>& argv, int seconds)
{
    const std::string out = scratch_dir() + "/.stdout", err = scratch_dir() + "/.stderr";
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, 0);
        dup2(o, 1);
        dup2(e, 2);
        execv(args[0], args.data());
        _exit(127);
    }
    run_result r;
    int raw = 0;
    struct rusage usage {};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (wait4(pid, &raw, WNOHANG, &usage) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            wait4(pid, &raw, 0, &usage);
            r.status = -2;
            break;
        }
        usleep(5000);
    }
    if (r.status != -2)
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.max_rss_kib = usage.ru_maxrss;
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
}

void make_media(const std::string& path, const std::string& args)
{
    const run_result r = run("ffmpeg -nostdin -v error -y " + args + " -fflags +bitexact " + sh(path));
    ASSERT_EQ(r.status, 0) << "ffmpeg " << args << "\n" << r.err;
}

io_bytes count_io(const std::vector<std::string>& argv)
{
    const std::string log = scratch_dir() + "/.strace";
    std::string command = "strace -f -qq -e trace=read,pread64,readv,preadv,preadv2,write,pwrite64,writev,pwritev,"
                          "pwritev2 -o " +
        sh(log);
    for (const std::string& a : argv)
        command += " " + sh(a);
    const run_result r = run(command);
    io_bytes io;
    io.status = r.status;
    std::ifstream in(log);
    // A call's result ends its line: "= 4096", also on the "<... resumed>"
    // line of a call another thread interrupted.
    const std::regex call(R"re(^\d+ +(?:<\.\.\. )?(p?(?:read|write)v?(?:64|2)?)\b.*= (\d+)(?: .*)?$)re");
    std::string line;
    for (bool any = false; std::getline(in, line);) {
        std::smatch m;
        if (!std::regex_match(line, m, call))
            continue;
        any = true;
        io.counted = any;
        const int64_t n = std::stoll(m[2]);
        (m[1].str().find("read") != std::string::npos ? io.read : io.written) += n;
    }
    if (r.err.find("PTRACE") != std::string::npos || r.err.find("ptrace") != std::string::npos)
        io.counted = false;
    return io;
}

void make_gst_mxf(const std::string& path, const std::string& sources)
{
    const run_result r = run("gst-launch-1.0 -q mxfmux name=mux ! filesink location=" + sh(path) + " " + sources);
    ASSERT_EQ(r.status, 0) << "gst-launch-1.0 " << sources << "\n" << r.err;
}

std::vector<uint8_t> read_file(const std::string& path)
{
    const std::string s = slurp(path);
    return {s.begin(), s.end()};
}

std::vector<std::string> split_lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

ffmpeg_loudness ffmpeg_measure(const std::string& path, int audio_stream)
{
    const run_result r = run("ffmpeg -nostdin -nostats -i " + sh(path) + " -map 0:a:" + std::to_string(audio_stream) +
                             " -af ebur128=peak=true -f null -");
    EXPECT_EQ(r.status, 0) << r.err;
    // The summary closes the output: "I: ... LUFS", "LRA: ... LU", "Peak: ... dBFS".
    ffmpeg_loudness m;
    m.integrated = field_after(r.err, "I:");
    m.lra = field_after(r.err, "LRA:");
    m.true_peak = field_after(r.err, "Peak:");
    return m;
}

std::vector<packet_place> probe_packets(const std::string& path)
{
    const run_result r =
        run("ffprobe -v error -show_data_hash MD5 -show_entries packet=stream_index,pos,size,data_hash "
            "-of csv=p=0 " +
            sh(path));
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<packet_place> places;
    for (const std::string& line : split_lines(r.out)) {
        packet_place p;
        char hash[128] = {};
        if (std::sscanf(line.c_str(), "%d,%ld,%ld,%127s", &p.stream, &p.size, &p.pos, hash) == 4) {
            p.hash = hash;
            places.push_back(p);
        }
    }
    return places;
}

std::vector<int> audio_streams(const std::string& path)
{
    const run_result r = run("ffprobe -v error -select_streams a -show_entries stream=index -of csv=p=0 " + sh(path));
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<int> streams;
    for (const std::string& line : split_lines(r.out))
        streams.push_back(std::stoi(line));
    return streams;
}

size_t expect_only_samples_changed(const std::string& src, const std::string& dst)
{
    const std::vector<uint8_t> a = read_file(src), b = read_file(dst);
    EXPECT_EQ(a.size(), b.size()) << dst;
    if (a.size() != b.size())
        return 0;
    const std::vector<packet_place> before = probe_packets(src), after = probe_packets(dst);
    EXPECT_EQ(before.size(), after.size()) << dst;
    for (size_t k = 0; k < std::min(before.size(), after.size()); ++k)
        EXPECT_TRUE(before[k].stream == after[k].stream && before[k].pos == after[k].pos &&
                    before[k].size == after[k].size)
            << "packet " << k << ": stream " << before[k].stream << " at " << before[k].pos << " of " << before[k].size
            << " bytes became stream " << after[k].stream << " at " << after[k].pos << " of " << after[k].size;

    std::vector<bool> samples(a.size(), false);
    const std::vector<int> audio = audio_streams(src);
    for (const packet_place& p : before) {
        if (std::find(audio.begin(), audio.end(), p.stream) == audio.end())
            continue;
        // A KLV key (16 bytes, a SMPTE label) and a BER length, then the value.
        const size_t at = static_cast<size_t>(p.pos);
        EXPECT_TRUE(at + 17 <= a.size() && a[at] == 0x06 && a[at + 1] == 0x0e && a[at + 2] == 0x2b && a[at + 3] == 0x34)
            << "audio packet at " << p.pos << " is not a KLV triplet";
        if (at + 17 > a.size())
            continue;
        size_t value = at + 17;
        uint64_t length = a[at + 16];
        if (length & 0x80) {
            const size_t n = length & 0x7f;
            length = 0;
            for (size_t i = 0; i < n && at + 17 + i < a.size(); ++i)
                length = length << 8 | a[at + 17 + i];
            value += n;
        }
        // The file may end inside the value: the packet holds what is left.
        const bool cut_short =
            value + static_cast<size_t>(p.size) == a.size() && length > static_cast<uint64_t>(p.size);
        EXPECT_TRUE(length == static_cast<uint64_t>(p.size) || cut_short) << "audio packet at " << p.pos;
        for (size_t i = value; i < value + static_cast<size_t>(p.size) && i < a.size(); ++i)
            samples[i] = true;
    }
    size_t changed = 0, outside = 0;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i]) {
            ++changed;
            if (!samples[i] && outside++ == 0)
                ADD_FAILURE() << "byte " << i << " outside the sample bytes changed in " << dst;
        }
    EXPECT_EQ(outside, 0u) << "bytes outside the sample bytes changed in " << dst;
    return changed;
}
