// What a person sees: the progress line on a terminal (and nowhere else), and
// manual pages that render cleanly and document every message and status.
#include <filesystem>
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

// The literal parts of every format a program prints with (fprintf to the
// standard error stream or to its report, printf, and the one-line refusals
// before the usage text), read from the .cpp files
// of the given source folders: the text between the conversions, every run of
// white space one blank, where it is long enough to mean something (a width
// macro such as PRId64 ends a conversion).
std::vector<std::string> printed_fragments(const std::vector<std::string>& folders)
{
    const std::regex call(
        R"re((?:fprintf\s*\(\s*(?:stderr|out)\s*,|printf\s*\(|_refuse\s*\((?:\s*[a-z>.-]*program\s*,)?\s*(?:std::string\()?)\s*((?:"(?:[^"\\]|\\.)*"\s*(?:PRI[a-z0-9]+\s*)?)+))re");
    const std::regex literal(R"re("((?:[^"\\]|\\.)*)"|PRI[a-z0-9]+)re");
    const std::regex conversion(R"re(%[-+ #0]*[0-9*]*(?:\.[0-9*]+)?(?:hh|h|ll|l|L|z|j|t)?[diouxXfFeEgGaAcsp%])re");
    std::vector<std::string> fragments;
    for (const std::string& folder : folders)
        for (const auto& entry : std::filesystem::directory_iterator(std::string(SOURCE_DIR) + "/" + folder)) {
            if (entry.path().extension() != ".cpp")
                continue;
            const std::vector<uint8_t> bytes = read_file(entry.path());
            const std::string source(bytes.begin(), bytes.end());
            for (std::sregex_iterator it(source.begin(), source.end(), call), end; it != end; ++it) {
                // The literals joined, a width macro counting as a conversion.
                std::string format;
                const std::string pieces = (*it)[1];
                for (std::sregex_iterator p(pieces.begin(), pieces.end(), literal); p != end; ++p)
                    format += (*p)[1].matched ? (*p)[1].str() : std::string("lld");
                format = std::regex_replace(format, std::regex(R"re(\\[nt])re"), " ");
                format = std::regex_replace(format, std::regex(R"re(\\(["\\]))re"), "$1");
                for (std::sregex_token_iterator f(format.begin(), format.end(), conversion, -1), fend; f != fend; ++f) {
                    // The JSON report's punctuation around a key is left out.
                    std::string text = std::regex_replace(f->str(), std::regex(R"re(\s+)re"), " ");
                    text = std::regex_replace(text, std::regex(R"re(^[ ,{}\[\]]+|[ :",{}\[\]]+$)re"), "");
                    if (text.size() >= 6)
                        fragments.push_back(text);
                }
            }
        }
    EXPECT_GT(fragments.size(), 20u) << "no messages found in the sources";
    return fragments;
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
    // Every text each program prints, read from its sources.
    const std::string trim = rendered("lumetrim.1");
    for (const std::string& fragment : printed_fragments({"normalizer"}))
        EXPECT_NE(trim.find(fragment), std::string::npos) << "lumetrim(1) does not mention \"" << fragment << "\"";
    for (const char* status : {"0", "1", "161", "234", "254", "235", "227", "228", "229", "243", "251"})
        EXPECT_TRUE(std::regex_search(trim, std::regex(std::string("EXIT STATUS.* ") + status + " [A-Z]")))
            << "lumetrim(1) lacks exit status " << status;

    const std::string scope = rendered("lumescope.1");
    for (const std::string& fragment : printed_fragments({"meter_tool"}))
        EXPECT_NE(scope.find(fragment), std::string::npos) << "lumescope(1) does not mention \"" << fragment << "\"";
    for (const char* status : {"0", "1"})
        EXPECT_TRUE(std::regex_search(scope, std::regex(std::string("EXIT STATUS.* ") + status + " [A-Z]")))
            << "lumescope(1) lacks exit status " << status;
}
