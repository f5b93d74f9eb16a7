// What a person sees: the progress line on a terminal (and nowhere else), and
// manual pages that render cleanly and document every message and status.
#include <regex>

#include <gtest/gtest.h>

#include "support.h"

namespace {

const std::string lumetrim = LUMETRIM_PATH;
const std::string lumescope = LUMESCOPE_PATH;
const std::string build_dir = BUILD_DIR;

// The screen a terminal shows after the raw output: carriage returns move to
// the start of the line and ESC [ K erases to its end.
std::string screen(const std::string& raw)
{
    std::string shown, line;
    size_t col = 0;
    for (size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == '\r') {
            col = 0;
        } else if (c == '\n') {
            shown += line + "\n";
            line.clear();
            col = 0;
        } else if (c == '\033' && raw.compare(i, 3, "\033[K") == 0) {
            line.resize(col);
            i += 2;
        } else {
            if (col < line.size())
                line[col] = c;
            else
                line.push_back(c);
            ++col;
        }
    }
    return shown + line;
}

// Runs a command under a pseudo-terminal, returning everything it showed.
run_result on_terminal(const std::string& command)
{
    return run("script -qfec " + sh(command) + " /dev/null");
}

const std::string& long_media()
{
    static const std::string path = [] {
        const std::string p = scratch_dir() + "/long.mxf";
        // Enough bytes that writing the copy, the quick part, outlasts the
        // line's first redraw too (a third of a second or more).
        make_media(p, "-f lavfi -i 'anoisesrc=c=pink:a=0.2:r=48000:d=2400' -c:a pcm_s24le -f mxf_opatom");
        return p;
    }();
    return path;
}

// The page as plain text, every run of white space one blank.
std::string rendered(const std::string& page)
{
    const run_result r = run("groff -man -Tascii -P-cbou -ww " + sh(build_dir + "/" + page));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "") << page << " renders with warnings";
    return std::regex_replace(r.out, std::regex("\\s+"), " ");
}

void expect_documented(const std::string& text, const std::vector<std::string>& items, const std::string& page)
{
    for (const std::string& item : items)
        EXPECT_NE(text.find(item), std::string::npos) << page << " does not mention \"" << item << "\"";
}

}  // namespace

TEST(ProgressLine, ShownOnATerminalAndErasedBeforeTheReport)
{
    const std::string src = long_media();
    const std::string dst = scratch_dir() + "/long_out.mxf";
    const run_result plain = run(sh(lumetrim) + " " + sh(src) + " auto " + sh(dst));
    ASSERT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(plain.err.find('\r'), std::string::npos);
    EXPECT_EQ(plain.err.find("real time"), std::string::npos);

    const run_result tty = on_terminal(sh(lumetrim) + " " + sh(src) + " auto " + sh(dst));
    ASSERT_EQ(tty.status, 0) << tty.out;
    EXPECT_TRUE(std::regex_search(tty.out, std::regex(R"(Reading +\d+% at [0-9.]+x real time)"))) << tty.out;
    EXPECT_TRUE(std::regex_search(tty.out, std::regex(R"(Writing +\d+%)"))) << tty.out;
    EXPECT_EQ(screen(tty.out), plain.err);

    const run_result scope_plain = run(sh(lumescope) + " " + sh(src) + " 2>&1");
    const run_result scope_tty = on_terminal(sh(lumescope) + " " + sh(src));
    ASSERT_EQ(scope_tty.status, 0);
    EXPECT_NE(scope_tty.out.find("% at "), std::string::npos) << scope_tty.out;
    EXPECT_EQ(screen(scope_tty.out), scope_plain.out);
}

TEST(ManualPages, DocumentEveryMessageAndExitStatus)
{
    const std::string trim = rendered("lumetrim.1");
    expect_documented(trim,
                      {"Please specify arguments.", "lumetrim <src file> [<auto|<value>> <dst file>]", "name=[",
                       "long_name=[", "inplace_norm_create(", "We have [", "audio tracks", "Reading file",
                       "inplace_norm_measure_print", "stream #", "loudness: ", "LRA: ", "channel ", "sample peak: ",
                       "true peak: ", "qpm0: ", "qpm5: ", "qpm10: ", "qpm200: ", "current amp[", "amplify amp[",
                       "multiply amp[", "clipped amp[", "-p groups", "-c ceiling", "programme GROUP:",
                       "ceiling amp[STREAM]=", "dBTP lowered the gain by", "Invalid programme groups: ",
                       "is in more than one programme group", "which is not a selected PCM track",
                       "mixes sample rates", "Invalid true-peak ceiling: ", "given twice", "Failed to fingerpint packet data!", "Skipping stream #",
                       "PCM track without channels", "cannot measure", "Failed to open SRC", "Failed to read SRC",
                       "the file changed during the run", "Overlapping PCM payloads at offset", "Failed to write DST",
                       "Invalid target loudness: ", "No PCM track: ", "is an unchanged copy",
                       "unchanged amp[STREAM]: no gated loudness (shorter than 400 ms, below -70 LUFS or silent)",
                       "of audio the file declares (damaged data was skipped)",
                       "of audio the file declares: the file is cut short",
                       "LUFS", "dBFS"},
                      "lumetrim(1)");
    for (const char* status : {"0", "1", "161", "234", "254", "235", "227", "228", "229", "243", "251"})
        EXPECT_TRUE(std::regex_search(trim, std::regex(std::string("EXIT STATUS.* ") + status + " [A-Z]")))
            << "lumetrim(1) lacks exit status " << status;

    const std::string scope = rendered("lumescope.1");
    expect_documented(scope,
                      {"Usage:", "lumescope [-t|-j] <input file>", "Found audio track #", "channels=",
                       "sample_rate=", "sample_fmt=[", "codec_name=[", "Not supported sample format [",
                       "Failed to open codec for stream #", "Skipping stream #", "audio track without channels",
                       "cannot measure", "Skipping audio of stream #", "Failed to decode packet from stream #",
                       "Failed to open file: ", "Failed to find stream info in file: ", "No audiotracks found",
                       "Out of memory reading", "Failed to read ", "filename: ", "idx #", "loudness ", "LRA ", "sample peak [",
                       "true peak [", "qpm0 [", "qpm5 [", "qpm10 [", "qpm200 [", "\"audio_cnt\"", "\"audio_tracks\"",
                       "\"sample_peak\"", "\"true_peak\"", "-inf", "-p groups", "programme GROUP:",
                       "\"programmes\"", "\"streams\"", "Invalid programme groups: ",
                       "is in more than one programme group", "which is not a selected audio track",
                       "mixes sample rates", "again for programme", "--plot file.svg", "--series",
                       "\"momentary\"", "\"short_term\"", "--series needs the JSON report (-j)",
                       "Failed to write FILE.SVG: ", "samples are not finite (NaN or infinite); measured as silence",
                       "Failed to write the report: "},
                      "lumescope(1)");
    for (const char* status : {"0", "1"})
        EXPECT_TRUE(std::regex_search(scope, std::regex(std::string("EXIT STATUS.* ") + status + " [A-Z]")))
            << "lumescope(1) lacks exit status " << status;
}
