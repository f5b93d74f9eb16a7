// The true-peak limiter of lumetrim -L: its envelope keeps every frame at or
// below the gain its own block and its neighbours need, glides instead of
// jumping, and comes back to full gain; end to end, hot programmes reach the
// target within 0.1 LU with their true peak at the ceiling, as lumescope and
// FFmpeg measure the destination, under one gain for all their channels.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <regex>

#include <gtest/gtest.h>

#include "limiter.h"
#include "support.h"

namespace {

const std::string lumetrim = LUMETRIM_PATH;
const std::string lumescope = LUMESCOPE_PATH;

// The knots of an envelope for the given block peaks.
std::vector<float> envelope_of(const std::vector<double>& peaks, double threshold, int rate = 48000)
{
    limiter l;
    limiter_init(&l, rate, threshold);
    std::vector<float> knots;
    for (double p : peaks) {
        limiter_push(&l, p);
        limiter_take(&l, &knots);
    }
    limiter_finish(&l);
    limiter_take(&l, &knots);
    return knots;
}

// The gain of every frame from the knots, as the destination applies them.
std::vector<double> frame_gains(const std::vector<float>& knots)
{
    limiter_envelope env;
    limiter_envelope_append(&env, 0, knots);
    std::vector<double> gains(knots.size() * limiter_block_frames);
    limiter_envelope_gains(env, 0, gains.size(), gains.data());
    return gains;
}

}  // namespace

TEST(LimiterEnvelope, EveryFrameIsAtMostWhatItsBlockAndItsNeighboursNeed)
{
    // Random bursts over a quiet bed, some far over the threshold.
    std::mt19937 rng(3);
    std::vector<double> peaks(20000, 0.1);
    for (int burst = 0; burst < 60; ++burst) {
        const size_t at = rng() % peaks.size(), len = 1 + rng() % 300;
        const double level = 0.5 + (rng() % 1000) / 100.0;  // up to 20 dB over
        for (size_t i = at; i < std::min(peaks.size(), at + len); ++i)
            peaks[i] = level * (0.5 + (rng() % 100) / 200.0);
    }
    const double threshold = 0.89;
    const std::vector<float> knots = envelope_of(peaks, threshold);
    ASSERT_EQ(knots.size(), peaks.size());
    const std::vector<double> gains = frame_gains(knots);
    for (size_t b = 0; b < peaks.size(); ++b) {
        const double need = std::min(1.0, threshold / peaks[b]);
        // The frames of the block before, the block and the one after feed
        // the block's interpolated peaks.
        for (size_t n = b == 0 ? 0 : b - 1; n <= std::min(b + 1, peaks.size() - 1); ++n)
            for (size_t i = 0; i < limiter_block_frames; ++i)
                ASSERT_LE(gains[n * limiter_block_frames + i], need * (1 + 1e-6)) << "block " << b << ", frame " << n;
    }
    // Never above full gain, and back to it where the bed is alone long enough.
    for (double g : gains)
        ASSERT_LE(g, 1.0);
    EXPECT_EQ(*std::max_element(gains.begin(), gains.end()), 1.0);
}

TEST(LimiterEnvelope, TheGainGlidesAndComesBack)
{
    // One block 20 dB over the threshold in the middle of a second of bed.
    std::vector<double> peaks(3000, 0.1);
    peaks[1500] = 8.9;
    const std::vector<double> gains = frame_gains(envelope_of(peaks, 0.89));
    // No step between neighbouring milliseconds of more than 3 dB: the 20 dB
    // are reached over the 10 ms look-ahead.
    const size_t ms = 48;
    double prev = 0;
    for (size_t i = 0; i + ms <= gains.size(); i += ms) {
        double sum = 0;
        for (size_t k = i; k < i + ms; ++k)
            sum += 20 * std::log10(gains[k]);
        const double db = sum / ms;
        if (i > 0) {
            EXPECT_LE(std::fabs(db - prev), 3.0) << "at " << i / ms << " ms";
        }
        prev = db;
    }
    // At the peak the full 20 dB, before the look-ahead nothing, and full gain
    // again within a second after it.
    EXPECT_NEAR(gains[1500 * limiter_block_frames + 8], 0.1, 0.002);
    EXPECT_EQ(gains[1400 * limiter_block_frames], 1.0);
    EXPECT_EQ(gains.back(), 1.0);
}

TEST(LimiterEnvelope, NothingOverTheThresholdIsFullGainEverywhere)
{
    const std::vector<float> knots = envelope_of(std::vector<double>(5000, 0.7), 0.7);
    limiter_envelope env;
    limiter_envelope_append(&env, 0, knots);
    EXPECT_TRUE(env.runs.empty());
}

namespace {

// Hot programmes: a quiet bed with short bursts 20 dB above it, as mono
// tracks after a video stream, stereo (2 tracks) or 5.1 (6 tracks).
std::string hot_programme(int tracks)
{
    static std::map<int, std::string> made;
    if (auto it = made.find(tracks); it != made.end())
        return it->second;
    const std::string path = scratch_dir() + "/hot" + std::to_string(tracks) + ".mxf";
    std::string expr, split = "[1:a]channelsplit=channel_layout=" + std::to_string(tracks) + "c", maps = "-map 0:v ";
    for (int c = 0; c < tracks; ++c) {
        const int f = 200 + 170 * c;
        expr += (c ? "|" : "") + std::string("0.05*sin(2*PI*") + std::to_string(f) + "*t)+0.5*sin(2*PI*" +
            std::to_string(5 * f) + "*t)*lt(mod(t+0." + std::to_string(c) + "\\," + std::to_string(1 + c % 3) +
            ".3)\\,0.03)";
        split += "[a" + std::to_string(c) + "]";
        maps += "-map [a" + std::to_string(c) + "] ";
    }
    make_media(path,
               "-f lavfi -i testsrc=size=64x48:rate=25 -f lavfi -i " + sh("aevalsrc=" + expr + ":s=48000:d=20") +
                   " -filter_complex " + sh(split) + " " + maps +
                   "-t 20 -c:v mpeg2video -b:v 50k -c:a pcm_s24le -f mxf");
    made[tracks] = path;
    return path;
}

// The samples of every audio stream of a file, as 32-bit integers.
std::vector<std::vector<int32_t>> samples_of(const std::string& path, int tracks)
{
    std::vector<std::vector<int32_t>> out;
    for (int t = 0; t < tracks; ++t) {
        const std::string raw = scratch_dir() + "/samples.raw";
        const run_result r = run("ffmpeg -nostdin -v error -y -i " + sh(path) + " -map 0:a:" + std::to_string(t) +
                                 " -f s32le -c:a pcm_s32le " + sh(raw));
        EXPECT_EQ(r.status, 0) << r.err;
        const std::vector<uint8_t> bytes = read_file(raw);
        std::vector<int32_t> s(bytes.size() / 4);
        std::memcpy(s.data(), bytes.data(), s.size() * 4);
        out.push_back(std::move(s));
    }
    return out;
}

double number_after(const std::string& text, const std::string& key)
{
    const size_t at = text.find(key);
    EXPECT_NE(at, std::string::npos) << key << "\n" << text;
    return at == std::string::npos ? NAN : std::strtod(text.c_str() + at + key.size(), nullptr);
}

}  // namespace

TEST(Limiter, HotProgrammesReachTheTargetUnderTheCeilingWithOneGainForAllChannels)
{
    for (const int tracks : {2, 6}) {
        const std::string src = hot_programme(tracks);
        const std::string group = "1-" + std::to_string(tracks);
        for (const char* target : {"-16", "-23"}) {
            const std::string what = std::to_string(tracks) + " tracks to " + target;
            const std::string dst = scratch_dir() + "/limited.mxf";
            const run_result r = run_program({lumetrim, "-p", group, "-L", "-c", "-1", src, target, dst}, 300);
            ASSERT_EQ(r.status, 0) << what << "\n" << r.err;
            EXPECT_GT(expect_only_samples_changed(src, dst), 1000u) << what;

            // lumescope on the destination: the target within 0.1 LU, every
            // channel's true peak at most -1 dBTP, and lumetrim's result block
            // digit for digit.
            const run_result scope = run_program({lumescope, "-p", group, dst}, 120);
            ASSERT_EQ(scope.status, 0) << scope.err;
            const double loudness = number_after(scope.out, "programme " + group + ":\n\tloudness:  ");
            EXPECT_NEAR(loudness, std::stod(target), 0.1) << what << "\n" << scope.out;
            const std::regex peak(R"(true peak \[\d+\] (-?[0-9.]+) dBFS)");
            for (std::sregex_iterator it(scope.out.begin(), scope.out.end(), peak), end; it != end; ++it)
                EXPECT_LE(std::stod((*it)[1]), -1.0) << what;
            const size_t block = scope.out.find("programme " + group + ":\n");
            EXPECT_NE(r.err.find("result " + scope.out.substr(block)), std::string::npos) << what << "\n"
                                                                                          << r.err << scope.out;

            // FFmpeg's own true peak of the merged channels, within 0.1 dB.
            std::string merge;
            for (int t = 0; t < tracks; ++t)
                merge += "[0:a:" + std::to_string(t) + "]";
            const run_result ff =
                run("ffmpeg -nostdin -i " + sh(dst) + " -filter_complex " +
                    sh(merge + "amerge=inputs=" + std::to_string(tracks) + ",ebur128=peak=true") + " -f null - 2>&1");
            EXPECT_LE(number_after(ff.out, "Peak:"), -0.9) << what;

            // The gain envelope: the destination over the source times the
            // static gain, per millisecond, where the signal is loud enough to
            // tell it: never above 1, the same on every channel, no step of
            // more than 3 dB from one millisecond to the next.
            std::smatch m;
            const std::regex limit_line(
                R"(multiply amp\[1\]=([0-9.]+)\nlimit amp\[1\]=-1\.000000dBTP raised the gain by (-?[0-9.]+)dB)");
            ASSERT_TRUE(std::regex_search(r.err, m, limit_line)) << r.err;
            const double gain = std::stod(m[1]) * std::pow(10.0, std::stod(m[2]) / 20);
            const auto before = samples_of(src, tracks), after = samples_of(dst, tracks);
            // Frame by frame where the sample is large enough for its 24-bit
            // rounding not to count, then the mean of each millisecond.
            auto frame_gain = [&](int t, size_t n) {
                const double x = static_cast<double>(before[t][n]) * gain;
                return std::fabs(x) > 1 << 22 ? static_cast<double>(after[t][n]) / x : NAN;
            };
            size_t compared = 0;
            std::vector<double> prev(tracks, NAN);
            for (size_t i = 0; i + 48 <= before[0].size(); i += 48) {
                for (int t = 0; t < tracks; ++t) {
                    double sum = 0;
                    int count = 0;
                    for (size_t n = i; n < i + 48; ++n) {
                        const double g = frame_gain(t, n);
                        if (std::isnan(g))
                            continue;
                        EXPECT_LE(g, 1.0 + 1e-3) << what << ", track " << t << ", frame " << n;
                        const double g0 = frame_gain(0, n);
                        if (!std::isnan(g0)) {
                            EXPECT_NEAR(g, g0, 1e-3) << what << ", track " << t << ", frame " << n;
                            ++compared;
                        }
                        sum += g;
                        ++count;
                    }
                    const double ms = count > 8 ? sum / count : NAN;
                    if (!std::isnan(ms) && !std::isnan(prev[t])) {
                        EXPECT_LE(std::fabs(20 * std::log10(ms / prev[t])), 3.0) << what << ", ms " << i / 48;
                    }
                    prev[t] = ms;
                }
            }
            EXPECT_GT(compared, 10000u) << what;
        }
    }
}

TEST(Limiter, ASignalThatNeverPassesTheCeilingGivesTheSameBytesAsWithoutTheLimiter)
{
    const std::string src = hot_programme(2);
    const std::string plain = scratch_dir() + "/plain.mxf", limited = scratch_dir() + "/limited_same.mxf";
    ASSERT_EQ(run_program({lumetrim, "-p", "1-2", src, "-30", plain}, 120).status, 0);
    const run_result r = run_program({lumetrim, "-p", "1-2", "-L", "-c", "-1", src, "-30", limited}, 120);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("raised the gain by 0.000000dB; reduced 0.00% of the samples by over 0.1dB, at most by "
                         "0.00dB\n"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(read_file(plain) == read_file(limited));
}

TEST(Limiter, ATargetOutOfReachRaisesTheGainBySixDecibelsAtMostAndSaysSo)
{
    // A tone held at the ceiling cannot get louder: alternate seconds of it
    // and of a faint hiss. Raising the gain further would only lift the hiss.
    const std::string src = scratch_dir() + "/pause.mxf", dst = scratch_dir() + "/pause_out.mxf";
    make_media(src,
               "-f lavfi -i testsrc=size=64x48:rate=25 -f lavfi -i " +
                   sh("aevalsrc=if(lt(mod(t\\,2)\\,1)\\,0.1*sin(2*PI*1000*t)\\,0.00003*(random(0)-0.5)):s=48000:d=8") +
                   " -map 0:v -map 1:a -t 8 -c:v mpeg2video -b:v 50k -c:a pcm_s24le -f mxf");
    const run_result r = run_program({lumetrim, "-L", "-c", "-1", src, "-3", dst}, 120);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_GT(expect_only_samples_changed(src, dst), 100u);
    const double plain = number_after(r.err, "multiply amp[1]=");
    const double raised = number_after(r.err, "raised the gain by ");
    EXPECT_GE(raised, 0.0);
    EXPECT_LE(raised, 6.0 + 1e-6) << r.err;
    const double missed = number_after(r.err, "limit amp[1]: target not reached: the limited loudness is ");
    EXPECT_LT(missed, -3.1) << r.err;
    EXPECT_NEAR(missed, number_after(r.err, "result stream #0 (1):\n\tloudness:  "), 0.005) << r.err;

    // The hiss is scaled by the static gain alone, at most 6 dB above the
    // plain one; the tone's true peak stays at the ceiling.
    const auto before = samples_of(src, 1), after = samples_of(dst, 1);
    ASSERT_EQ(before[0].size(), after[0].size());
    int32_t hiss_before = 0, hiss_after = 0;
    for (size_t n = 60000; n < 86000; ++n) {  // 1.25 s to 1.79 s
        hiss_before = std::max(hiss_before, std::abs(before[0][n]));
        hiss_after = std::max(hiss_after, std::abs(after[0][n]));
    }
    ASSERT_GT(hiss_before, 0);
    EXPECT_LE(20 * std::log10(static_cast<double>(hiss_after) / hiss_before), 20 * std::log10(plain) + raised + 0.1);
    const run_result scope = run_program({lumescope, dst}, 60);
    EXPECT_LE(number_after(scope.out, "true peak [0] "), -1.0) << scope.out;
}

TEST(Limiter, ACeilingNearTheSamplesResolutionIsHeldThoughTheLoudnessFallsBelowTheGate)
{
    // At -70 dBTP on 16-bit samples the truncation's step is a large part of
    // the signal, and a pass that holds the ceiling measures below the -70
    // LUFS gate (-inf, infinitely far from the target). That pass is still
    // the one to write: never the target's gain with the ceiling forgotten.
    const std::string src = scratch_dir() + "/deep.mxf", dst = scratch_dir() + "/deep_out.mxf";
    make_media(src,
               "-f lavfi -i testsrc=size=64x48:rate=25 -f lavfi -i anoisesrc=r=48000:a=0.5:d=4 "
               "-map 0:v -map 1:a -t 4 -c:v mpeg2video -b:v 50k -c:a pcm_s16le -f mxf");
    for (const char* ceiling : {"-70", "-100"}) {
        const run_result r = run_program({lumetrim, "-L", "-c", ceiling, src, "-23", dst}, 120);
        ASSERT_EQ(r.status, 0) << r.err;
        expect_only_samples_changed(src, dst);
        EXPECT_NE(r.err.find("limit amp[1]: target not reached: the limited loudness is -inf LUFS\n"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(r.err.find("ceiling not held"), std::string::npos) << r.err;
        const run_result scope = run_program({lumescope, dst}, 60);
        const size_t at = scope.out.find("true peak [0] ");
        ASSERT_NE(at, std::string::npos) << scope.out;
        const std::string peak = scope.out.substr(at + 14, scope.out.find(' ', at + 14) - at - 14);
        EXPECT_TRUE(peak == "-inf" || std::stod(peak) <= std::stod(ceiling)) << ceiling << ": " << scope.out;
    }
}

TEST(Limiter, TheLimiterNeedsACeilingATargetAndADestination)
{
    const std::string src = hot_programme(2);
    const std::string usage_tail = " <src file> [<auto|<value>> <dst file>]\n";
    for (const std::vector<std::string>& args : {std::vector<std::string>{lumetrim, "-L", src, "-16", "x.mxf"},
                                                 {lumetrim, "-L", "-c", "-1", src},
                                                 {lumetrim, "-L", "-L", "-c", "-1", src, "-16", "x.mxf"}}) {
        const run_result r = run_program(args, 60);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_TRUE(r.err.starts_with("Option -L ")) << r.err;
        EXPECT_NE(r.err.find(usage_tail), std::string::npos) << r.err;
        EXPECT_FALSE(std::filesystem::exists("x.mxf"));
    }
}
