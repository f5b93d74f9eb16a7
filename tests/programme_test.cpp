// Programmes (-p) and the true-peak ceiling (-c), end to end on generated
// media: tracks grouped into programmes must measure exactly like one
// multichannel track of the same samples, share one gain, and leave every
// output without the options as it was.
#include <cmath>
#include <filesystem>
#include <map>
#include <regex>

#include <gtest/gtest.h>

#include "inplace_norm.h"
#include "lumescope.h"
#include "support.h"

namespace {

const std::string lumetrim = LUMETRIM_PATH;
const std::string lumescope = LUMESCOPE_PATH;
const std::string video = "-f lavfi -i testsrc=size=64x48:rate=25 ";
const std::string video_codec = "-c:v mpeg2video -b:v 50k ";

// Eight channels of different levels, tones and noise, with a slow swell so
// that the loudness range is not zero.
const std::string eight_channels[8] = {
    "0.5*sin(2*PI*300*t)*(0.3+0.7*abs(sin(2*PI*0.13*t)))",
    "0.2*sin(2*PI*500*t)",
    "0.3*sin(2*PI*700*t)*(0.5+0.5*abs(sin(2*PI*0.07*t)))",
    "0.1*random(1)",
    "0.25*sin(2*PI*900*t)",
    "0.15*sin(2*PI*1100*t)*(0.2+0.8*abs(sin(2*PI*0.11*t)))",
    "0.2*random(2)",
    "0.4*sin(2*PI*60*t)",
};

std::string channels(int from, int to)
{
    std::string expr;
    for (int c = from; c <= to; ++c)
        expr += (c > from ? "|" : "") + eight_channels[c];
    return expr;
}

std::string source(const std::string& expr, int seconds)
{
    return "-f lavfi -i " + sh("aevalsrc=" + expr + ":s=48000:d=" + std::to_string(seconds)) + " ";
}

// Video first, then one mono PCM track per channel of the audio input (which
// follows the video's): each channel is copied exactly.
std::string mono_tracks_args(const std::string& audio_input, int count, int seconds, const std::string& codec)
{
    std::string split = "[1:a]channelsplit=channel_layout=" + std::to_string(count) + "c";
    std::string maps = "-map 0:v ";
    for (int c = 0; c < count; ++c) {
        split += "[a" + std::to_string(c) + "]";
        maps += "-map [a" + std::to_string(c) + "] ";
    }
    return video + audio_input + "-filter_complex " + sh(split) + " " + maps + "-t " + std::to_string(seconds) + " " +
        video_codec + "-c:a " + codec + " -f mxf";
}

// Channels of a file copied exactly into a file of their own.
std::string channels_of(const std::string& path, const std::string& map)
{
    return "-i " + sh(path) + " -af " + sh("channelmap=map=" + map) + " -c:a pcm_s24le";
}

// Each file is made once for the whole test binary.
std::string media(const std::string& name)
{
    static std::map<std::string, std::string> made;
    if (auto it = made.find(name); it != made.end())
        return it->second;
    const std::string path = scratch_dir() + "/" + name;
    std::string args;
    // All files of the same samples come from one 24-bit master, so that
    // every copy holds exactly the same sample values.
    if (name == "master.wav")
        args = source(channels(0, 7), 12) + "-c:a pcm_s24le";
    else if (name == "eight_mono.mxf")
        args = mono_tracks_args("-i " + sh(media("master.wav")) + " ", 8, 12, "pcm_s24le");
    else if (name == "stereo.wav")
        args = channels_of(media("master.wav"), "0|1");
    else if (name == "surround.wav")
        args = channels_of(media("master.wav"), "2|3|4|5|6|7");
    else if (name == "stereo_track.mxf")
        args = video + "-i " + sh(media("stereo.wav")) + " -map 0:v -map 1:a -t 12 " + video_codec +
            "-c:a pcm_s24le -f mxf";
    else if (name == "hot_pair.mxf")  // short loud bursts: a low loudness under high peaks
        args = mono_tracks_args(
            source("0.9*sin(2*PI*1000*t)*lt(mod(t\\,1)\\,0.005)|0.7*sin(2*PI*1500*t)*lt(mod(t+0.5\\,1)\\,0.005)", 8), 2,
            8, "pcm_s24le");
    else if (name.starts_with("gst_")) {
        // gst_<seconds>s_<tracks>x<short seconds>s_<short track>.mxf, and its
        // .wav: the tracks padded with silence to the longest, one channel each.
        int seconds = 0, tracks = 0, short_seconds = 0, short_track = 0;
        char ext[8] = {};
        sscanf(name.c_str(), "gst_%ds_%dx%ds_%d.%3s", &seconds, &tracks, &short_seconds, &short_track, ext);
        if (std::string(ext) == "wav") {
            const std::string mxf = media(name.substr(0, name.size() - 3) + "mxf");
            std::string graph;
            for (int i = 0; i < tracks; ++i)
                graph += "[0:a:" + std::to_string(i) + "]apad=whole_len=" + std::to_string(seconds * 48000) + "[p" +
                    std::to_string(i) + "];";
            for (int i = 0; i < tracks; ++i)
                graph += "[p" + std::to_string(i) + "]";
            graph += "amerge=inputs=" + std::to_string(tracks);
            make_media(path, "-i " + sh(mxf) + " -filter_complex " + sh(graph) + " -c:a pcm_s24le");
        } else {
            std::string sources;
            for (int i = 0; i < tracks; ++i) {
                const int buffers = (i == short_track ? short_seconds : seconds) * 10;  // of 100 ms
                sources += " audiotestsrc num-buffers=" + std::to_string(buffers) +
                    " samplesperbuffer=4800 wave=pink-noise volume=0." + std::to_string(1 + i % 4) +
                    " ! audio/x-raw,format=S24LE,rate=48000,channels=1 ! mux.bwf_audio_sink_" + std::to_string(i);
            }
            make_gst_mxf(path, sources);
        }
        made[name] = path;
        return path;
    } else if (name == "mixed_rates.mkv")
        args = source("0.1*sin(2*PI*300*t)", 2) + "-f lavfi -i " + sh("aevalsrc=0.1*sin(2*PI*300*t):s=44100:d=2") +
            " -map 0:a -map 1:a -c:a pcm_s16le";
    make_media(path, args);
    made[name] = path;
    return path;
}

run_result run_lumetrim(const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {lumetrim};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, 120);
}

run_result run_lumescope(const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {lumescope};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, 120);
}

// The number after `key` in the block that starts with `head`.
double figure(const std::string& text, const std::string& head, const std::string& key)
{
    const size_t at = text.find(head);
    EXPECT_NE(at, std::string::npos) << head << "\n" << text;
    const size_t k = text.find(key, at);
    EXPECT_NE(k, std::string::npos) << key << "\n" << text;
    if (at == std::string::npos || k == std::string::npos)
        return NAN;
    return std::strtod(text.c_str() + k + key.size(), nullptr);
}

// The text after "<word> amp[<stream>]=" up to the end of its line.
std::string gain_line(const std::string& err, const std::string& word, int stream)
{
    const std::string key = word + " amp[" + std::to_string(stream) + "]=";
    const size_t at = err.find(key);
    if (at == std::string::npos)
        return "";
    return err.substr(at + key.size(), err.find('\n', at) - at - key.size());
}

// The two-decimal figures of a programme block, exactly as printed.
std::string programme_block(const std::string& text, const std::string& name)
{
    const size_t at = text.find("programme " + name + ":\n");
    if (at == std::string::npos)
        return "";
    size_t end = at;
    for (int i = 0; i < 4; ++i)
        end = text.find('\n', end) + 1;
    return text.substr(at, end - at);
}

// The programme block that the first track of a file measured alone by
// lumescope gives, printed as the programme `name` would be.
std::string block_of_single_track(const std::string& path, const std::string& name)
{
    const run_result one = run_lumescope({path});
    EXPECT_EQ(one.status, 0) << one.err;
    const std::regex peak(R"(true peak \[\d+\] (-?[0-9.]+) dBFS)");
    double peak_db = -INFINITY;
    for (std::sregex_iterator it(one.out.begin(), one.out.end(), peak), end; it != end; ++it)
        peak_db = std::max(peak_db, std::stod((*it)[1]));
    char block[256];
    snprintf(block, sizeof block, "programme %s:\n\tloudness:  %.2f LUFS\n\tLRA: %.2f LU\n\ttrue peak: %.2f dBFS\n",
             name.c_str(), figure(one.out, "idx #0", "loudness  "), figure(one.out, "idx #0", "LRA "), peak_db);
    return block;
}

// A programme's figures as lumetrim's scan measures them, with the given
// budget of samples waiting for the other tracks.
std::vector<programme_figures> lumetrim_scan(const std::string& path, const char* groups, size_t queue_bytes)
{
    inplace_norm_ctx* ctx = nullptr;
    EXPECT_GT(inplace_norm_create(&ctx, path.c_str()), 0);
    std::vector<programme_group> g;
    EXPECT_EQ(programme_groups_parse(groups, &g), 0);
    std::string why;
    EXPECT_EQ(inplace_norm_set_programmes(ctx, g, &why), 0) << why;
    ctx->measured.programme_queue_bytes = queue_bytes;
    ctx->measured.threads = 3;
    inplace_norm_meters_init(ctx);
    EXPECT_EQ(inplace_norm_read(ctx), 0);
    std::vector<programme_figures> f;
    for (size_t p = 0; p < ctx->measured.programmes.size(); ++p)
        f.push_back(inplace_norm_programme_figures(ctx, p));
    inplace_norm_destroy(&ctx);
    return f;
}

// lumescope's report with the given budget of samples waiting for the other
// tracks, run in-process.
std::string lumescope_report(const std::string& path, const std::string& groups, size_t queue_bytes)
{
    std::string file = path, p = "-p", g = groups;
    char* argv[] = {const_cast<char*>("lumescope"), p.data(), g.data(), file.data()};
    const std::string report = scratch_dir() + "/read_back.txt";
    FILE* out = fopen(report.c_str(), "w");
    lumescope_settings settings;
    settings.programme_queue_bytes = queue_bytes;
    EXPECT_EQ(lumescope_run_with(4, argv, out, settings), 0);
    fclose(out);
    const std::vector<uint8_t> text = read_file(report);
    return std::string(text.begin(), text.end());
}

std::string dst_path(const std::string& name)
{
    return scratch_dir() + "/out_" + name;
}

}  // namespace

TEST(Programmes, EightMonoTracksNormaliseAsAStereoAndA51Programme)
{
    const std::string src = media("eight_mono.mxf");
    const std::string dst = dst_path("eight_mono.mxf");
    const run_result r = run_lumetrim({"-p", "1-2,3-8", src, "-16", dst});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("programme 1-2:\n\tloudness:  "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("programme 3-8:\n\tloudness:  "), std::string::npos) << r.err;
    // The programme blocks follow the last track's report, before the gains.
    EXPECT_LT(r.err.find("stream #7 (8):"), r.err.find("programme 1-2:"));
    EXPECT_LT(r.err.find("programme 3-8:"), r.err.find("current amp[1]"));
    // Every stream of a programme shows the programme's loudness and gain.
    for (const auto& [first, last] : {std::pair{1, 2}, std::pair{3, 8}}) {
        const std::string name = std::to_string(first) + "-" + std::to_string(last);
        const double loudness = figure(r.err, "programme " + name + ":", "loudness:  ");
        for (int s = first; s <= last; ++s) {
            EXPECT_NEAR(std::stod(gain_line(r.err, "current", s)), loudness, 0.005) << s;
            EXPECT_EQ(gain_line(r.err, "current", s), gain_line(r.err, "current", first)) << s;
            EXPECT_EQ(gain_line(r.err, "amplify", s), gain_line(r.err, "amplify", first)) << s;
            EXPECT_EQ(gain_line(r.err, "multiply", s), gain_line(r.err, "multiply", first)) << s;
        }
    }
    EXPECT_EQ(r.err.find("ceiling amp["), std::string::npos);

    // Both programmes measure at the target again.
    const run_result again = run_lumetrim({"-p", "1-2,3-8", dst});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_NEAR(figure(again.err, "programme 1-2:", "loudness:  "), -16, 0.02) << again.err;
    EXPECT_NEAR(figure(again.err, "programme 3-8:", "loudness:  "), -16, 0.02) << again.err;
    // One factor per programme: every track of it moved by the same number of
    // decibels, measured on each track alone (24-bit requantisation moves the
    // figures by far less than the 0.01 dB allowed).
    const run_result before = run_lumetrim({src});
    auto moved = [&](int ordinal) {
        const std::string head = "stream #" + std::to_string(ordinal) + " (";
        return figure(again.err, head, "loudness:  ") - figure(before.err, head, "loudness:  ");
    };
    EXPECT_NEAR(moved(0), moved(1), 0.011);
    for (int t = 3; t < 8; ++t)
        EXPECT_NEAR(moved(t), moved(2), 0.011) << t;
    EXPECT_GT(std::fabs(moved(0) - moved(2)), 1.0);  // the two programmes did get different gains
    EXPECT_GT(expect_only_samples_changed(src, dst), 1000u);
}

TEST(Programmes, GroupedFiguresEqualThoseOfTheInterleavedWav)
{
    // lumescope: the programmes of the mono tracks against the stereo and the
    // six-channel WAV of the same samples, printed digit for digit alike.
    const run_result grouped = run_lumescope({"-p", "1-2,3-8", media("eight_mono.mxf")});
    ASSERT_EQ(grouped.status, 0) << grouped.err;
    for (const auto& [name, wav] : {std::pair{"1-2", "stereo.wav"}, std::pair{"3-8", "surround.wav"}})
        EXPECT_EQ(programme_block(grouped.out, name), block_of_single_track(media(wav), name)) << grouped.out;
    EXPECT_GT(figure(grouped.out, "programme 1-2:", "LRA: "), 0.5);

    // lumetrim, to the bit: the programme of two mono tracks against one stereo
    // track of the same samples, lined up as the file interleaves them and
    // read back from the file alike.
    const std::vector<programme_figures> track = lumetrim_scan(media("stereo_track.mxf"), "1", 16 << 20);
    for (size_t queue : {size_t(16) << 20, size_t(0), size_t(100000)}) {
        const std::vector<programme_figures> pair = lumetrim_scan(media("eight_mono.mxf"), "1-2,3-8", queue);
        ASSERT_EQ(pair.size(), 2u);
        EXPECT_EQ(pair[0].loudness, track[0].loudness) << queue;
        EXPECT_EQ(pair[0].lra, track[0].lra) << queue;
        EXPECT_EQ(pair[0].true_peak, track[0].true_peak) << queue;
    }

    // lumescope decoding the tracks again side by side prints the same report.
    const std::string path = media("eight_mono.mxf");
    const std::string expected = run_lumescope({"-p", "1-2,3-8", path}).out;
    for (size_t queue : {size_t(0), size_t(100000)})
        EXPECT_EQ(lumescope_report(path, "1-2,3-8", queue), expected) << queue;
}

TEST(Programmes, ATrackEndingEarlyCountsAsSilenceOnEveryPath)
{
    // GStreamer's files let one track end early: first, in the middle or last.
    // The programme must measure like one track of the same samples padded
    // with silence, whether its tracks wait in memory or are read back.
    for (int short_track = 0; short_track < 3; ++short_track) {
        const std::string name = "gst_6s_3x2s_" + std::to_string(short_track);
        const std::string src = media(name + ".mxf");
        const std::string expected = block_of_single_track(media(name + ".wav"), "0-2");

        const run_result scope = run_lumescope({"-p", "0-2", src});
        ASSERT_EQ(scope.status, 0) << scope.err;
        EXPECT_EQ(programme_block(scope.out, "0-2"), expected) << name;
        for (size_t queue : {size_t(0), size_t(100000)})
            EXPECT_EQ(lumescope_report(src, "0-2", queue), scope.out) << name << " " << queue;

        const run_result trim = run_lumetrim({"-p", "0-2", src});
        ASSERT_EQ(trim.status, 0) << trim.err;
        EXPECT_EQ(programme_block(trim.err, "0-2"), expected) << name;
        const std::vector<programme_figures> in_memory = lumetrim_scan(src, "0-2", 16 << 20);
        for (size_t queue : {size_t(0), size_t(100000)}) {
            const std::vector<programme_figures> read_back = lumetrim_scan(src, "0-2", queue);
            EXPECT_EQ(read_back[0].loudness, in_memory[0].loudness) << name << " " << queue;
            EXPECT_EQ(read_back[0].lra, in_memory[0].lra) << name << " " << queue;
        }

        const std::string dst = dst_path(name + ".mxf");
        const run_result norm = run_lumetrim({"-p", "0-2", src, "auto", dst});
        ASSERT_EQ(norm.status, 0) << norm.err;
        EXPECT_GT(expect_only_samples_changed(src, dst), 1000u);
        const run_result again = run_lumetrim({"-p", "0-2", dst});
        EXPECT_NEAR(figure(again.err, "programme 0-2:", "loudness:  "), -23, 0.02) << again.err;
    }
}

TEST(Programmes, SixTracksOneEndingEarlyFinishWithTheSamplesReadBack)
{
    // Five tracks of 30 s and one of 5 s: the 25 s the others have beyond it
    // pass the budget of samples that may wait, so both programs read the
    // programme back from the file, where the ended track counts as silence.
    const std::string src = media("gst_30s_6x5s_3.mxf");
    const std::string expected = block_of_single_track(media("gst_30s_6x5s_3.wav"), "0-5");
    const run_result scope = run_lumescope({"-p", "0-5", src});
    ASSERT_EQ(scope.status, 0) << scope.err;
    EXPECT_EQ(programme_block(scope.out, "0-5"), expected);
    const std::string dst = dst_path("gst_30s_6x5s_3.mxf");
    const run_result trim = run_lumetrim({"-p", "0-5", src, "auto", dst});
    ASSERT_EQ(trim.status, 0) << trim.err;
    EXPECT_EQ(programme_block(trim.err, "0-5"), expected);
    EXPECT_GT(expect_only_samples_changed(src, dst), 1000u);
}

TEST(Programmes, CeilingHoldsTheTruePeakAndCostsExactlyThePrintedReduction)
{
    const std::string src = media("hot_pair.mxf");
    const std::string dst = dst_path("hot_pair.mxf");
    const run_result r = run_lumetrim({"-p", "1-2", "-c", "-1", src, "-16", dst});
    ASSERT_EQ(r.status, 0) << r.err;
    std::smatch m;
    const std::regex line(
        R"(multiply amp\[1\]=[0-9.]+\nceiling amp\[1\]=-1\.000000dBTP lowered the gain by ([0-9.]+)dB\n)");
    ASSERT_TRUE(std::regex_search(r.err, m, line)) << r.err;
    const double reduction = std::stod(m[1]);
    EXPECT_GT(reduction, 1.0);
    EXPECT_EQ(gain_line(r.err, "ceiling", 2), gain_line(r.err, "ceiling", 1));
    EXPECT_EQ(r.err.find("clipped"), std::string::npos) << r.err;

    const run_result again = run_lumetrim({"-p", "1-2", dst});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_LE(figure(again.err, "programme 1-2:", "true peak: "), -1.0 + 0.01) << again.err;
    EXPECT_NEAR(figure(again.err, "programme 1-2:", "true peak: "), -1.0, 0.05);
    EXPECT_NEAR(figure(again.err, "programme 1-2:", "loudness:  "), -16 - reduction, 0.02) << again.err;
    // FFmpeg's own meter agrees within its coarser true-peak estimate.
    EXPECT_LE(ffmpeg_measure(dst, 0).true_peak, -1.0 + 0.1);
    expect_only_samples_changed(src, dst);

    // A lone track is held to the ceiling on its own.
    const run_result lone = run_lumetrim({"-c", "-3", src, "-16", dst});
    ASSERT_EQ(lone.status, 0) << lone.err;
    EXPECT_NE(gain_line(lone.err, "ceiling", 1), gain_line(lone.err, "ceiling", 2));
    const run_result lone_again = run_lumetrim({dst});
    EXPECT_LE(figure(lone_again.err, "stream #0 (", "true peak: "), -3.0 + 0.01) << lone_again.err;
    EXPECT_LE(figure(lone_again.err, "stream #1 (", "true peak: "), -3.0 + 0.01) << lone_again.err;
    expect_only_samples_changed(src, dst);
}

TEST(Programmes, RefusalsPrintOneLineThenTheUsageAndWriteNothing)
{
    const std::string src = media("eight_mono.mxf");
    const std::string dst = dst_path("refused.mxf");
    const std::string trim_usage =
        "Please specify arguments.\nUsage:\n\t" + lumetrim + " <src file> [<auto|<value>> <dst file>]\n";
    const std::string scope_usage = "Usage:\n\tlumescope [-t|-j] <input file>\n\n";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-p", "1-", src, "auto", dst}, "Invalid programme groups: 1-"},
        {{"-p", "2-1", src, "auto", dst}, "Invalid programme groups: 2-1"},
        {{"-p", "1-2,,3", src, "auto", dst}, "Invalid programme groups: 1-2,,3"},
        {{"-p", "a", src, "auto", dst}, "Invalid programme groups: a"},
        {{"-p", "1-2,2-3", src, "auto", dst}, "Stream #2 is in more than one programme group"},
        {{"-p", "1-8,5", src, "auto", dst}, "Stream #5 is in more than one programme group"},
        {{"-p", "0-1", src, "auto", dst}, "Programme group 0-1 names stream #0, which is not a selected PCM track"},
        {{"-p", "7-9", src, "auto", dst}, "Programme group 7-9 names stream #9, which is not a selected PCM track"},
        {{"-p", "1-2", "-p", "3-4", src, "auto", dst}, "Option -p given twice"},
        {{"-c", "x", src, "auto", dst}, "Invalid true-peak ceiling: x"},
        {{"-c", "-1dB", src, "auto", dst}, "Invalid true-peak ceiling: -1dB"},
        {{"-c", "0.5", src, "auto", dst}, "Invalid true-peak ceiling: 0.5"},
        {{"-c", "nan", src, "auto", dst}, "Invalid true-peak ceiling: nan"},
    };
    for (const auto& [args, diagnostic] : cases) {
        const run_result r = run_lumetrim(args);
        EXPECT_EQ(r.status, 1) << diagnostic;
        ASSERT_GE(r.err.size(), trim_usage.size());
        EXPECT_EQ(r.err.substr(r.err.size() - trim_usage.size()), trim_usage) << r.err;
        const std::vector<std::string> lines = split_lines(r.err.substr(0, r.err.size() - trim_usage.size()));
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), diagnostic);
        EXPECT_EQ(r.err.find("Reading file"), std::string::npos);
        EXPECT_FALSE(std::filesystem::exists(dst)) << diagnostic;
    }

    const std::pair<std::vector<std::string>, std::string> scope_cases[] = {
        {{"-p", "1-x", src}, "Invalid programme groups: 1-x"},
        {{"-j", "-p", "3-4,4", src}, "Stream #4 is in more than one programme group"},
        {{"-p", "0-1", src}, "Programme group 0-1 names stream #0, which is not a selected audio track"},
        {{"-p", "0-1", media("mixed_rates.mkv")},
         "Programme group 0-1 mixes sample rates: stream #0 at 48000 Hz, stream #1 at 44100 Hz"},
    };
    for (const auto& [args, diagnostic] : scope_cases) {
        const run_result r = run_lumescope(args);
        EXPECT_EQ(r.status, 1) << diagnostic;
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(r.err.size() >= scope_usage.size() &&
                    r.err.substr(r.err.size() - scope_usage.size()) == scope_usage)
            << r.err;
        EXPECT_NE(r.err.find(diagnostic + "\n" + scope_usage), std::string::npos) << r.err;
    }
    const std::pair<std::vector<std::string>, std::string> scope_mistakes[] = {
        {{"-p", src}, "Option -p needs a value before the input\n"},
        {{"-p", "1-2", "-p", "3-4", src}, "Option -p given twice\n"},
        {{"-t", "-j", src}, ""},
        {{"-j", src, "-p"}, ""},
    };
    for (const auto& [args, named] : scope_mistakes) {
        const run_result r = run_lumescope(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, named + scope_usage);
    }

    // Mixed rates cannot be stored in FFmpeg's MXF, so the normaliser's check
    // is run on a context made by hand.
    inplace_norm_ctx ctx;
    measurement_init(&ctx.measured, 3);
    for (int s = 0; s < 2; ++s)
        ASSERT_EQ(
            measurement_add_track(&ctx.measured, s + 1, AV_CODEC_ID_PCM_S24LE, 1, s == 0 ? 48000 : 44100, TRACK_FLOAT),
            0);
    std::vector<programme_group> groups;
    ASSERT_EQ(programme_groups_parse("1-2", &groups), 0);
    std::string why;
    EXPECT_EQ(inplace_norm_set_programmes(&ctx, groups, &why), -22);
    EXPECT_EQ(why, "Programme group 1-2 mixes sample rates: stream #1 at 48000 Hz, stream #2 at 44100 Hz");
    EXPECT_TRUE(ctx.measured.programmes.empty());
}

TEST(Programmes, WithoutOptionsNothingChangesAndWithThemOnlyBlocksAreAdded)
{
    const std::string src = media("eight_mono.mxf");
    const run_result plain = run_lumetrim({src});
    const run_result grouped = run_lumetrim({"-p", "1-2,3-8", src});
    ASSERT_EQ(plain.status, 0);
    ASSERT_EQ(grouped.status, 0);
    EXPECT_EQ(plain.err.find("programme"), std::string::npos);
    EXPECT_EQ(grouped.err, plain.err + programme_block(grouped.err, "1-2") + programme_block(grouped.err, "3-8"));

    const run_result scope_plain = run_lumescope({"-j", src});
    const run_result scope_grouped = run_lumescope({"-j", "-p", "1-2,3-8", src});
    EXPECT_EQ(scope_plain.out.find("programmes"), std::string::npos);
    // The tracks' part is unchanged; the programmes follow in the same layout.
    const std::string tracks_end = "        }\n    ]\n";
    const size_t cut = scope_plain.out.rfind(tracks_end) + tracks_end.size() - 1;
    EXPECT_EQ(scope_grouped.out.substr(0, cut), scope_plain.out.substr(0, cut));
    const std::string rest = scope_grouped.out.substr(cut);
    EXPECT_TRUE(std::regex_match(rest,
                                 std::regex(",\n    \"programmes\":\n    \\[\n        \\{\n"
                                            "            \"streams\": \"1-2\",\n"
                                            "            \"loudness\": \"-?[0-9.]+\",\n"
                                            "            \"LRA\": \"[0-9.]+\",\n"
                                            "            \"true_peak\": \"[0-9.]+\"\n"
                                            "        \\}\n        ,\n        \\{\n"
                                            "            \"streams\": \"3-8\",\n(.|\n)*\n    \\]\n\\}\n")))
        << rest;
    const std::string text = run_lumescope({"-t", "-p", "1-2,3-8", src}).out;
    EXPECT_EQ(text, run_lumescope({src}).out + programme_block(text, "1-2") + programme_block(text, "3-8"));
}

TEST(Programmes, PeakMemoryDoesNotGrowWithTheFileLength)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers hold freed memory back on purpose: peak memory then grows
    // with the work done, whatever the program keeps.
    GTEST_SKIP() << "peak memory is not the program's own under a sanitizer";
#endif
    // Eight mono 16-bit tracks of pink noise, grouped, measured and written.
    long rss[2] = {};
    for (int i = 0; i < 2; ++i) {
        const int seconds = i == 0 ? 30 : 120;
        const std::string src = scratch_dir() + "/long_" + std::to_string(seconds) + ".mxf";
        std::string split = "[1:a]asplit=8";
        std::string maps = "-map 0:v ";
        for (int c = 0; c < 8; ++c) {
            split += "[a" + std::to_string(c) + "]";
            maps += "-map [a" + std::to_string(c) + "] ";
        }
        make_media(src,
                   video + "-f lavfi -i " + sh("anoisesrc=c=pink:a=0.2:r=48000:d=" + std::to_string(seconds)) +
                       " -filter_complex " + sh(split) + " " + maps + "-t " + std::to_string(seconds) + " " +
                       video_codec + "-c:a pcm_s16le -f mxf");
        const run_result r = run_lumetrim({"-p", "1-2,3-8", src, "auto", "/dev/null"});
        ASSERT_EQ(r.status, 0) << r.err;
        const run_result s = run_lumescope({"-p", "1-2,3-8", src});
        ASSERT_EQ(s.status, 0) << s.err;
        rss[i] = std::max(r.max_rss_kib, s.max_rss_kib);
        std::filesystem::remove(src);
    }
    // Four times the audio (90 MiB more of samples) may not cost more than a
    // few MiB: nothing of a track waits in memory for the others.
    EXPECT_LT(rss[1], rss[0] + 8 * 1024) << rss[0] << " KiB for 30 s, " << rss[1] << " KiB for 120 s";
}
