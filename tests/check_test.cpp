// Checks against a delivery target, in both programs: a line per
// programme or track (or the JSON "check" object), pass or every reason
// with its figures, and exit status 3 when anything fails; and lumetrim's
// result blocks, which must be what lumescope measures on the destination.
#include <filesystem>
#include <map>
#include <regex>

#include <gtest/gtest.h>

#include "support.h"

namespace {

const std::string lumetrim = LUMETRIM_PATH;
const std::string lumescope = LUMESCOPE_PATH;

// Two mono tracks after a video stream, a stereo tone with a slow swell
// peaking near -13 dBFS, measuring about -16.5 LUFS as a programme.
const std::string& pair_file()
{
    static const std::string path = [] {
        const std::string p = scratch_dir() + "/pair.mxf";
        make_media(p,
                   "-f lavfi -i testsrc=size=64x48:rate=25 -f lavfi -i "
                   "'aevalsrc=0.22*sin(2*PI*500*t)*(0.6+0.4*sin(2*PI*0.2*t))|0.165*sin(2*PI*700*t):s=48000:d=12' "
                   "-filter_complex '[1:a]channelsplit=channel_layout=stereo[a][b]' -map 0:v -map '[a]' -map '[b]' "
                   "-t 12 -c:v mpeg2video -b:v 50k -c:a pcm_s24le -f mxf");
        return p;
    }();
    return path;
}

run_result trim(const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {lumetrim};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, 120);
}

run_result scope(const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {lumescope};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, 120);
}

}  // namespace

TEST(Check, MeasuringChecksTheSourceAndFailsWithStatusThree)
{
    // The programme at about -16.5 LUFS and -13 dBTP passes -16:1:-1 and fails
    // both broadcast targets on its loudness.
    const std::string src = pair_file();
    struct expectation {
        const char* spec;
        std::string verdict;  // a regular expression of the line's end
        int status;
    };
    const std::vector<expectation> cases = {
        {"-16:1:-1", "pass", 0},
        {"r128", R"(fail: loudness -16\.[0-9]{2} LUFS above -22\.50 LUFS)", 3},
        {"a85", R"(fail: loudness -16\.[0-9]{2} LUFS above -22\.00 LUFS)", 3},
        {"-16:1:-15", R"(fail: true peak -13\.[0-9]{2} dBTP above -15\.00 dBTP)", 3},
        {"-30:0.5:-20",
         R"(fail: loudness -16\.[0-9]{2} LUFS above -29\.50 LUFS, true peak -13\.[0-9]{2} dBTP above -20\.00 dBTP)", 3},
    };
    for (const expectation& e : cases) {
        const run_result t = trim({"--check", e.spec, "-p", "1-2", src});
        EXPECT_EQ(t.status, e.status) << e.spec << "\n" << t.err;
        EXPECT_TRUE(std::regex_search(
            t.err, std::regex(std::string("\ncheck ") + e.spec + " programme 1-2: " + e.verdict + "\n$")))
            << e.spec << "\n"
            << t.err;

        // lumescope, the same programme, and its tracks one by one.
        const run_result s = scope({"--check", e.spec, "-p", "1-2", src});
        EXPECT_EQ(s.status, e.status) << e.spec << "\n" << s.err;
        EXPECT_TRUE(std::regex_search(
            s.out, std::regex(std::string("\ncheck ") + e.spec + " programme 1-2: " + e.verdict + "\n$")))
            << e.spec << "\n"
            << s.out;
    }
    const run_result tracks = scope({"--check", "r128", src});
    EXPECT_EQ(tracks.status, 3);
    EXPECT_TRUE(std::regex_search(
        tracks.out, std::regex(R"(\ncheck r128 idx #1: fail: [^\n]*\ncheck r128 idx #2: fail: [^\n]*\n$)")))
        << tracks.out;
}

TEST(Check, TheJsonReportEndsWithTheCheck)
{
    const run_result r = scope({"-j", "--check", "-16:1:-1", "-p", "1-2", pair_file()});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string json = scratch_dir() + "/check.json";
    FILE* f = fopen(json.c_str(), "w");
    fwrite(r.out.data(), 1, r.out.size(), f);
    fclose(f);
    const run_result parsed = run("python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); c = d[\"check\"]; "
                                  "print(c[\"spec\"], c[\"loudness\"], c[\"tolerance\"], c[\"true_peak\"], "
                                  "[(x.get(\"streams\"), x[\"pass\"], x[\"reasons\"]) for x in c[\"results\"]])' " +
                                  sh(json));
    EXPECT_EQ(parsed.status, 0) << parsed.err << r.out;
    EXPECT_EQ(parsed.out, "-16:1:-1 -16.00 1.00 -1.00 [('1-2', 'true', [])]\n");
    // Without --check the report is as it always was.
    const run_result plain = scope({"-j", "-p", "1-2", pair_file()});
    EXPECT_EQ(plain.out.find("\"check\""), std::string::npos);
    EXPECT_EQ(r.out.substr(0, r.out.find("    ],\n    \"check\"")), plain.out.substr(0, plain.out.rfind("    ]\n}")));
}

TEST(Check, WritingChecksWhatWasWrittenWithAutoAsTheCheckTargetsLoudness)
{
    const std::string src = pair_file();
    for (const auto& [spec, target] : {std::pair{"r128", -23.0}, std::pair{"a85", -24.0}}) {
        const std::string dst = scratch_dir() + "/checked.mxf";
        const run_result t = trim({"--check", spec, "-p", "1-2", src, "auto", dst});
        EXPECT_EQ(t.status, 0) << spec << "\n" << t.err;
        EXPECT_NE(t.err.find(std::string("\ncheck ") + spec + " programme 1-2: pass\n"), std::string::npos) << t.err;
        // The result block is lumescope's programme block of the destination,
        // digit for digit, at the check target's loudness.
        const run_result s = scope({"-p", "1-2", dst});
        const std::string block = s.out.substr(s.out.find("programme 1-2:\n"));
        EXPECT_NE(t.err.find("result " + block), std::string::npos) << t.err << s.out;
        EXPECT_NEAR(std::stod(block.substr(block.find("loudness:  ") + 11)), target, 0.01);
        EXPECT_GT(expect_only_samples_changed(src, dst), 1000u);
    }
    // A loudness the check target does not allow fails it, with what was written.
    const std::string dst = scratch_dir() + "/checked_loud.mxf";
    const run_result loud = trim({"--check", "r128", "-p", "1-2", src, "-18", dst});
    EXPECT_EQ(loud.status, 3) << loud.err;
    EXPECT_TRUE(std::regex_search(
        loud.err, std::regex(R"(\ncheck r128 programme 1-2: fail: loudness -18\.00 LUFS above -22\.50 LUFS\n$)")))
        << loud.err;
    EXPECT_TRUE(std::filesystem::exists(dst));
}

TEST(Check, ACeilingPrintsTheResultOfEveryTrackAsLumescopeMeasuresIt)
{
    // Two tracks on their own, the louder lowered by the ceiling: one result
    // block each, the true peak the largest of its channels'.
    const std::string src = pair_file();
    const std::string dst = scratch_dir() + "/ceiling.mxf";
    const run_result t = trim({"-c", "-12", src, "-12", dst});
    ASSERT_EQ(t.status, 0) << t.err;
    const run_result s = scope({dst});
    for (const auto& [ordinal, stream] : {std::pair{0, 1}, std::pair{1, 2}}) {
        const std::regex figures("\tidx #" + std::to_string(stream) +
                                 "\n\t\tloudness  (-?[0-9.]+) LUFS\n\t\tLRA ([0-9.]+) LU\n\t\tsample peak \\[0\\] "
                                 "[-0-9.]+ dBFS\n\t\ttrue peak \\[0\\] (-?[0-9.]+) dBFS\n");
        std::smatch m;
        ASSERT_TRUE(std::regex_search(s.out, m, figures)) << s.out;
        const std::string block = "result stream #" + std::to_string(ordinal) + " (" + std::to_string(stream) +
            "):\n\tloudness:  " + m[1].str() + " LUFS\n\tLRA: " + m[2].str() + " LU\n\ttrue peak: " + m[3].str() +
            " dBFS\n";
        EXPECT_NE(t.err.find(block), std::string::npos) << block << t.err;
        EXPECT_LE(std::stod(m[3]), -12.0);
    }
}

TEST(Check, ASourceWithoutPcmFailsInsteadOfPassingBySayingNothing)
{
    const std::string src = scratch_dir() + "/video_only.mxf", dst = scratch_dir() + "/video_only_out.mxf";
    make_media(src, "-f lavfi -i testsrc=size=64x48:rate=25:d=1 -c:v mpeg2video -b:v 50k -f mxf");
    const run_result measured = trim({"--check", "r128", src});
    EXPECT_EQ(measured.status, 3) << measured.err;
    EXPECT_TRUE(measured.err.ends_with("\ncheck r128: fail: no PCM track\n")) << measured.err;
    std::filesystem::remove(dst);
    const run_result copied = trim({"--check", "r128", src, "auto", dst});
    EXPECT_EQ(copied.status, 3) << copied.err;
    EXPECT_TRUE(copied.err.ends_with(" is an unchanged copy\ncheck r128: fail: no PCM track\n")) << copied.err;
    EXPECT_TRUE(read_file(src) == read_file(dst));
}

TEST(Check, ACheckValueThatIsNoneIsRefusedWithTheUsage)
{
    for (const char* spec : {"r129", "-23:0.5", "-23:-1:-1", "a:b:c", "-23:0.5:-1:0", "", "-16: 1:-1", " -16:1:-1"}) {
        const run_result t = trim({"--check", spec, pair_file()});
        EXPECT_EQ(t.status, 1) << spec;
        EXPECT_TRUE(t.err.starts_with(std::string("Invalid check specification: ") + spec + "\n")) << t.err;
        const run_result s = scope({"--check", spec, pair_file()});
        EXPECT_EQ(s.status, 1) << spec;
        EXPECT_EQ(s.err,
                  std::string("Invalid check specification: ") + spec +
                      "\nUsage:\n\tlumescope [-t|-j] <input file>\n\n");
    }
}
