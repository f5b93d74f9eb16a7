// The loudness history: lumescope's --series readings against FFmpeg's ebur128
// filter, the --plot picture checked by an XML parser and a renderer, and the
// picture writer alone on a synthetic ten-hour series.
#include <cmath>
#include <cstdio>
#include <random>
#include <regex>
#include <unistd.h>

#include <gtest/gtest.h>

#include "loudness_plot.h"
#include "support.h"

namespace {

const std::string lumescope = LUMESCOPE_PATH;

run_result lumescope_run(const std::string& args)
{
    return run(sh(lumescope) + " " + args);
}

// Programme material in the manner of the EBU test signals: a tone near the
// target, a pause, a swelling tone, a hot passage whose true peak passes
// -1 dBTP, then quiet noise; the right channel differs from the left.
const std::string programme_expr =
    "if(lt(t,6),0.12*sin(2*PI*1000*t),if(lt(t,8),0,if(lt(t,16),0.5*sin(2*PI*440*t)*(0.3+0.7*abs(sin(2*PI*0.2*t))),"
    "if(lt(t,20),0.99*sin(2*PI*997*t),0.03*random(0)))))|"
    "if(lt(t,6),0.12*sin(2*PI*1000*t),if(lt(t,8),0,if(lt(t,16),0.2*sin(2*PI*660*t),"
    "if(lt(t,20),0.7*sin(2*PI*1003*t+1),0.02*random(1)))))";
// The filter graph's commas separate filters unless escaped.
std::string escape_commas(std::string expr)
{
    for (size_t at = expr.find(','); at != std::string::npos; at = expr.find(',', at + 2))
        expr.replace(at, 1, "\\,");
    return expr;
}
std::string programme_source(int rate)
{
    return "-f lavfi -i " + sh("aevalsrc=" + escape_commas(programme_expr) + ":s=" + std::to_string(rate) + ":d=26") +
        " ";
}

std::string programme_media()
{
    static const std::string path = [] {
        const std::string p = scratch_dir() + "/programme.wav";
        make_media(p, programme_source(48000) + "-c:a pcm_s16le");
        return p;
    }();
    return path;
}

// The same programme at another rate.
std::string programme_media_at(int rate)
{
    const std::string p = scratch_dir() + "/programme_" + std::to_string(rate) + ".wav";
    make_media(p, programme_source(rate) + "-c:a pcm_s16le");
    return p;
}

// The same samples as two mono tracks.
std::string two_mono_media()
{
    static const std::string path = [] {
        const std::string p = scratch_dir() + "/two_mono.mkv";
        make_media(p,
                   "-i " + sh(programme_media()) + " -filter_complex " +
                       sh("[0:a]channelsplit=channel_layout=stereo[l][r]") + " -map [l] -map [r] -c:a pcm_s16le");
        return p;
    }();
    return path;
}

// The values of a JSON report's series lines with the given key, in order of
// appearance: one vector per track or programme.
std::vector<std::vector<std::string>> json_series(const std::string& json, const std::string& key)
{
    std::vector<std::vector<std::string>> all;
    const std::regex line("\"" + key + "\": \\[([^\\]]*)\\]");
    const std::regex value("\"([^\"]*)\"");
    for (std::sregex_iterator it(json.begin(), json.end(), line), end; it != end; ++it) {
        const std::string items = (*it)[1];
        std::vector<std::string> values;
        for (std::sregex_iterator v(items.begin(), items.end(), value); v != end; ++v)
            values.push_back((*v)[1]);
        all.push_back(std::move(values));
    }
    return all;
}

// FFmpeg's ebur128 filter's momentary and short-term readings, every 100 ms
// (every rate / 10 frames, rounded down), as printed: entry i is the line at
// t = (i + 1) / 10 s. `before` are filters to run ahead of it, each followed
// by a comma.
struct ffmpeg_series {
    std::vector<std::string> momentary, short_term;
};

ffmpeg_series ffmpeg_readings(const std::string& path, const std::string& before = "")
{
    const run_result r =
        run("ffmpeg -nostdin -nostats -i " + sh(path) + " -af " + sh(before + "ebur128") + " -f null -");
    EXPECT_EQ(r.status, 0) << r.err;
    ffmpeg_series s;
    const std::regex line(R"(t: *([0-9.]+) +TARGET:\S+ LUFS +M: *(\S+) +S: *(\S+))");
    for (std::sregex_iterator it(r.err.begin(), r.err.end(), line), end; it != end; ++it) {
        const long i = std::lround(std::stod((*it)[1]) * 10) - 1;
        EXPECT_EQ(i, static_cast<long>(s.momentary.size())) << (*it)[0];
        s.momentary.push_back((*it)[2]);
        s.short_term.push_back((*it)[3]);
    }
    return s;
}

// Our reading, printed to two decimals, against FFmpeg's to one. FFmpeg
// prints silence as a floor of -120 LUFS or below, or as nan, where the
// loudness library gives -inf or a far smaller figure from its filters'
// decaying tail.
void expect_same_digits(const std::string& ours, const std::string& theirs, const std::string& what)
{
    const double a = std::stod(ours), b = std::stod(theirs);
    if (!(b > -120)) {
        EXPECT_LT(a, -120) << what << ": " << ours << " vs " << theirs;
        return;
    }
    char rounded[32];
    std::snprintf(rounded, sizeof rounded, "%.1f", a);
    // A reading printed as x.x5 may have been just above or below the tie.
    const bool tie = ours.back() == '5';
    if (tie)
        EXPECT_LE(std::fabs(a - b), 0.05 + 1e-9) << what << ": " << ours << " vs " << theirs;
    else
        EXPECT_EQ(std::stod(rounded), b) << what << ": " << ours << " vs " << theirs;
}

// Parses an SVG with Python's XML parser and prints its panels' titles, one a
// line; then renders it to PNG with rsvg-convert, which must not complain.
std::vector<std::string> check_svg(const std::string& svg)
{
    const run_result parsed =
        run("python3 -c " +
            sh("import sys, xml.etree.ElementTree as E\n"
               "r = E.parse(sys.argv[1]).getroot()\n"
               "assert r.tag == '{http://www.w3.org/2000/svg}svg', r.tag\n"
               "for t in r.iter('{http://www.w3.org/2000/svg}text'):\n"
               "    if t.get('font-weight') == 'bold' and t.get('font-size') is None: print(t.text)\n") +
            " " + sh(svg));
    EXPECT_EQ(parsed.status, 0) << parsed.err;
    const std::string png = svg + ".png";
    const run_result rendered = run("rsvg-convert " + sh(svg) + " -o " + sh(png));
    EXPECT_EQ(rendered.status, 0) << rendered.err;
    EXPECT_EQ(rendered.err, "");
    const std::vector<uint8_t> bytes = read_file(png);
    EXPECT_GT(bytes.size(), 1000u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 4)), "\x89PNG");
    return split_lines(parsed.out);
}

// The programme's hot passage (16 s to 20 s of 26 s) is marked in the
// picture, and only it.
void expect_hot_passage_marked(const std::string& svg_path)
{
    const std::vector<uint8_t> bytes = read_file(svg_path);
    const std::string svg(bytes.begin(), bytes.end());
    const std::regex marks(R"re(<rect x="([0-9.]+)" y="[0-9.]+" width="([0-9.]+)" height="5" fill="#d00"/>)re");
    EXPECT_EQ(std::distance(std::sregex_iterator(svg.begin(), svg.end(), marks), std::sregex_iterator()), 1);
    std::smatch mark;
    ASSERT_TRUE(std::regex_search(svg, mark, marks));
    const double plot_left = 64, plot_width = 900;
    EXPECT_NEAR((std::stod(mark[1]) - plot_left) / plot_width * 26, 16, 0.2);
    EXPECT_NEAR(std::stod(mark[2]) / plot_width * 26, 4, 0.2);
}

}  // namespace

TEST(LoudnessSeries, AgreeWithFfmpegsMomentaryAndShortTermAtTheSameTimes)
{
    const std::string path = programme_media();
    const run_result r = lumescope_run("-j --series " + sh(path));
    ASSERT_EQ(r.status, 0) << r.err;
    const auto m = json_series(r.out, "momentary"), s = json_series(r.out, "short_term");
    ASSERT_EQ(m.size(), 1u);
    ASSERT_EQ(s.size(), 1u);
    ASSERT_EQ(m[0].size(), 260u);  // 26 s
    ASSERT_EQ(s[0].size(), 260u);
    const ffmpeg_series ref = ffmpeg_readings(path);
    ASSERT_EQ(ref.momentary.size(), 260u);
    // FFmpeg prints its floor until a window is full (400 ms, 3 s); the
    // loudness library reads the part it has over a window of silence.
    for (size_t i = 3; i < 260; ++i)
        expect_same_digits(m[0][i], ref.momentary[i], "M at " + std::to_string(i + 1) + "00 ms");
    for (size_t i = 29; i < 260; ++i)
        expect_same_digits(s[0][i], ref.short_term[i], "S at " + std::to_string(i + 1) + "00 ms");
}

TEST(LoudnessSeries, AgreeWithFfmpegAt22050And11025HzWithReadingsAtTheNearestFrame)
{
    // 22,050 Hz: 100 ms are 2205 frames, where FFmpeg reads too.
    const std::string path22 = programme_media_at(22050);
    const run_result r22 = lumescope_run("-j --series " + sh(path22));
    ASSERT_EQ(r22.status, 0) << r22.err;
    const auto m22 = json_series(r22.out, "momentary"), s22 = json_series(r22.out, "short_term");
    ASSERT_EQ(m22.at(0).size(), 260u);
    ASSERT_EQ(s22.at(0).size(), 260u);
    const ffmpeg_series ref22 = ffmpeg_readings(path22);
    ASSERT_EQ(ref22.momentary.size(), 260u);
    for (size_t i = 3; i < 260; ++i)
        expect_same_digits(m22[0][i], ref22.momentary[i], "22050 Hz: M at " + std::to_string(i + 1) + "00 ms");
    for (size_t i = 29; i < 260; ++i)
        expect_same_digits(s22[0][i], ref22.short_term[i], "22050 Hz: S at " + std::to_string(i + 1) + "00 ms");

    // 11,025 Hz: 100 ms are 1102.5 frames. Reading i sits at the frame
    // nearest (i + 1) × 100 ms, after 1102 (i + 1) + c frames with
    // c = ceil((i + 1) / 2), and 26 s have 260 readings. FFmpeg reads every
    // 1102 frames, half a frame a reading ahead of the marks: with its input
    // delayed by 1102 - c frames of digital silence, its reading i + 1 falls
    // on our reading i (and on i + 1 when that has the same c), with the same
    // 400 ms (4410 frames) and 3 s windows, the silence before the input
    // counting as the meter's silence before the first frame. Readings at each
    // change of the programme (6, 8, 16 and 20 s), where a reading's place
    // shows most, and some between.
    const std::string path11 = programme_media_at(11025);
    const std::string svg = scratch_dir() + "/programme_11025.svg";
    const run_result r11 = lumescope_run("-j --series --plot " + sh(svg) + " " + sh(path11));
    ASSERT_EQ(r11.status, 0) << r11.err;
    const auto m11 = json_series(r11.out, "momentary"), s11 = json_series(r11.out, "short_term");
    ASSERT_EQ(m11.at(0).size(), 260u);
    ASSERT_EQ(s11.at(0).size(), 260u);
    ASSERT_EQ(ffmpeg_readings(path11).momentary.size(), 260u);
    for (size_t c : {2, 15, 31, 32, 41, 42, 50, 81, 82, 101, 102, 130}) {
        const ffmpeg_series ref = ffmpeg_readings(path11, "adelay=delays=" + std::to_string(1102 - c) + "S:all=1,");
        ASSERT_EQ(ref.momentary.size(), 261u);
        for (size_t i = 2 * c - 2; i < 2 * c; ++i) {
            const std::string at = "11025 Hz: " + std::to_string(i + 1) + "00 ms";
            if (i >= 3)
                expect_same_digits(m11[0][i], ref.momentary[i + 1], "M at " + at);
            if (i >= 29)
                expect_same_digits(s11[0][i], ref.short_term[i + 1], "S at " + at);
        }
    }
    // The picture's true peaks every 100 ms take the same places.
    check_svg(svg);
    expect_hot_passage_marked(svg);
}

TEST(LoudnessSeries, LeaveEveryFigureAsItWasAndFollowEachTrackAndProgramme)
{
    const std::string path = two_mono_media();
    const run_result plain = lumescope_run("-j -p 0-1 " + sh(path));
    const run_result with = lumescope_run("-j -p 0-1 --series " + sh(path));
    ASSERT_EQ(plain.status, 0) << plain.err;
    ASSERT_EQ(with.status, 0) << with.err;
    // Taking the series out gives the report without them, byte for byte.
    std::string stripped =
        std::regex_replace(with.out, std::regex(R"(,\n +"momentary": \[[^\]]*\],\n +"short_term": \[[^\]]*\])"), "");
    EXPECT_EQ(stripped, plain.out);
    const auto m = json_series(with.out, "momentary"), s = json_series(with.out, "short_term");
    ASSERT_EQ(m.size(), 3u);  // two tracks, one programme
    ASSERT_EQ(s.size(), 3u);
    // The programme of the two mono tracks reads exactly like the stereo track.
    const run_result stereo = lumescope_run("-j --series " + sh(programme_media()));
    EXPECT_EQ(m[2], json_series(stereo.out, "momentary").at(0));
    EXPECT_EQ(s[2], json_series(stereo.out, "short_term").at(0));
    EXPECT_NE(m[0], m[1]);
    // The text report is the same with a picture beside it.
    const std::string svg = scratch_dir() + "/unchanged.svg";
    EXPECT_EQ(lumescope_run("--plot " + sh(svg) + " " + sh(path)).out, lumescope_run(sh(path)).out);
}

TEST(LoudnessPlot, PictureParsesRendersAndHasAPanelPerTrackOrProgramme)
{
    const std::string path = two_mono_media();
    const std::string per_track = scratch_dir() + "/tracks.svg";
    const run_result r = lumescope_run("--plot " + sh(per_track) + " " + sh(path));
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> titles = check_svg(per_track);
    ASSERT_EQ(titles.size(), 2u);
    EXPECT_EQ(titles[0].rfind("idx #0: I ", 0), 0u) << titles[0];
    EXPECT_EQ(titles[1].rfind("idx #1: I ", 0), 0u) << titles[1];

    const std::string per_programme = scratch_dir() + "/programme.svg";
    const run_result p = lumescope_run("-p 0-1 --plot " + sh(per_programme) + " " + sh(path));
    ASSERT_EQ(p.status, 0) << p.err;
    const std::vector<std::string> ptitles = check_svg(per_programme);
    ASSERT_EQ(ptitles.size(), 1u);
    // The title carries the report's figures.
    std::smatch f;
    ASSERT_TRUE(std::regex_search(
        p.out, f, std::regex(R"(programme 0-1:\n\tloudness:  (\S+) LUFS\n\tLRA: (\S+) LU\n\ttrue peak: (\S+) dBFS)")));
    EXPECT_EQ(ptitles[0],
              "programme 0-1: I " + f[1].str() + " LUFS, LRA " + f[2].str() + " LU, max true peak " + f[3].str() +
                  " dBTP");
    expect_hot_passage_marked(per_programme);
}

TEST(LoudnessPlot, FailuresToWriteComeAfterTheReportAndSeriesNeedJson)
{
    const std::string path = programme_media();
    const run_result ok = lumescope_run(sh(path));
    const std::string missing = scratch_dir() + "/no/such/folder/x.svg";
    const run_result r = lumescope_run("--plot " + sh(missing) + " " + sh(path));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, ok.out);
    EXPECT_EQ(split_lines(r.err).back(), "Failed to write " + missing + ": No such file or directory");

    // A folder that cannot be written to keeps nothing, not even a temporary file.
    const std::string folder = scratch_dir() + "/locked";
    run("mkdir -p " + sh(folder) + " && chmod 555 " + sh(folder));
    if (geteuid() != 0) {
        const run_result locked = lumescope_run("--plot " + sh(folder + "/x.svg") + " " + sh(path));
        EXPECT_EQ(locked.status, 1);
        EXPECT_EQ(split_lines(locked.err).back(), "Failed to write " + folder + "/x.svg: Permission denied");
    }
    EXPECT_EQ(run("ls -A " + sh(folder)).out, "");

    // The input named as the picture, through another name: refused, the input kept.
    const std::string input = scratch_dir() + "/victim.wav", alias = scratch_dir() + "/alias.wav";
    run("cp " + sh(path) + " " + sh(input) + " && ln -sf " + sh(input) + " " + sh(alias));
    const std::vector<uint8_t> before = read_file(input);
    const run_result same = lumescope_run("--plot " + sh(alias) + " " + sh(input));
    EXPECT_EQ(same.status, 1);
    EXPECT_EQ(same.out, "");
    EXPECT_EQ(same.err,
              "The picture would replace the input: " + alias + "\nUsage:\n\tlumescope [-t|-j] <input file>\n\n");
    EXPECT_TRUE(read_file(input) == before);

    const run_result text = lumescope_run("--series " + sh(path));
    EXPECT_EQ(text.status, 1);
    EXPECT_EQ(text.out, "");
    EXPECT_EQ(text.err, "--series needs the JSON report (-j)\nUsage:\n\tlumescope [-t|-j] <input file>\n\n");
}

TEST(LoudnessPlotWriter, TenHoursStayWellUnderOneMegabyte)
{
    // 10 hours of readings every 100 ms: noise about a slow swell, with pauses
    // of silence and occasional hot peaks, for two programmes.
    const size_t n = 10 * 3600 * 10;
    std::mt19937 rng(7);
    std::normal_distribution<float> noise(0, 3);
    std::vector<float> m(n), s(n), tp(n);
    for (size_t i = 0; i < n; ++i) {
        const bool silent = i % 9000 < 300;
        const float level = -25 + 8 * std::sin(static_cast<float>(i) / 5000.0f);
        m[i] = silent ? -INFINITY : level + noise(rng);
        s[i] = silent ? -INFINITY : level + noise(rng) / 3;
        tp[i] = i % 20011 == 0 ? 1.0f : 0.3f;
    }
    std::vector<plot_panel> panels(2);
    for (size_t k = 0; k < 2; ++k) {
        panels[k].name = "programme " + std::to_string(k);
        panels[k].loudness = -23;
        panels[k].lra = 8;
        panels[k].true_peak = 1.0;
        panels[k].momentary = m;
        panels[k].short_term = s;
        panels[k].true_peaks = tp;
    }
    const std::string svg = loudness_plot_svg("ten hours.mxf", panels);
    EXPECT_LT(svg.size(), 400u << 10);
    const std::string file = scratch_dir() + "/ten_hours.svg";
    FILE* f = std::fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fwrite(svg.data(), 1, svg.size(), f);
    std::fclose(f);
    EXPECT_EQ(check_svg(file).size(), 2u);
    // Hour labels on the time axis.
    EXPECT_NE(svg.find(">10:00:00</text>"), std::string::npos);
}

TEST(LoudnessPlotWriter, NamesAreEscapedAndTimesAreClockTimes)
{
    EXPECT_EQ(loudness_plot_escape("a&b<c>\"d'"), "a&amp;b&lt;c&gt;&quot;d&apos;");
    // Control characters and bytes that are not UTF-8 cannot be in XML.
    EXPECT_EQ(loudness_plot_escape("x\ty\x01\xff"
                                   "\xC3\xA9\xE2\x82\xAC"),
              "x\xEF\xBF\xBDy\xEF\xBF\xBD\xEF\xBF\xBD\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(loudness_plot_escape("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // overlong '/'
    EXPECT_EQ(loudness_plot_time(0), "0:00:00");
    EXPECT_EQ(loudness_plot_time(59.6), "0:01:00");
    EXPECT_EQ(loudness_plot_time(36000), "10:00:00");
    const std::vector<plot_panel> none(1);
    const std::string svg = loudness_plot_svg("<&>.wav", none);
    EXPECT_NE(svg.find(">&lt;&amp;&gt;.wav</text>"), std::string::npos);
}
