// The loudness meter against the installed libebur128 1.2.6, the oracle: the
// integrated loudness, the loudness range and the momentary, short-term and
// 100 ms readings must be libebur128's to the last bit, for any signal, rate,
// channel count, sample format and way of cutting the input into pieces.
#include <bit>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <ebur128.h>
#include <gtest/gtest.h>

#include "loudness_meter.h"
#include "qpm.h"
#include "test_signals.h"

namespace {

struct ebur128_closer {
    void operator()(ebur128_state* st) const { ebur128_destroy(&st); }
};

// What both meters read after some 300 of the pieces (each reading sums up to
// 3 s of signal), then at the end.
struct readings {
    std::vector<double> momentary, short_term, window;
    double integrated = 0, range = 0;
};

size_t reading_every(const std::vector<size_t>& chunks)
{
    return std::max<size_t>(1, chunks.size() / 300);
}

void add_reference(ebur128_state* st, const test_case& tc, const signal_data& d, size_t at, size_t n)
{
    const size_t k = static_cast<size_t>(tc.channels);
    switch (tc.format) {
    case S16: ebur128_add_frames_short(st, d.s16.data() + at * k, n); break;
    case S32: ebur128_add_frames_int(st, d.s32.data() + at * k, n); break;
    case FLOAT: ebur128_add_frames_float(st, d.f.data() + at * k, n); break;
    }
}

readings reference_readings(const test_case& tc, const signal_data& d, const std::vector<size_t>& chunks)
{
    std::unique_ptr<ebur128_state, ebur128_closer> st(ebur128_init(
        static_cast<unsigned>(tc.channels), static_cast<unsigned long>(tc.rate), EBUR128_MODE_I | EBUR128_MODE_LRA));
    EXPECT_TRUE(st);
    readings r;
    size_t at = 0, pieces = 0;
    for (size_t n : chunks) {
        add_reference(st.get(), tc, d, at, n);
        at += n;
        if (++pieces % reading_every(chunks) != 0)
            continue;
        double m = 0, s = 0, w = 0;
        ebur128_loudness_momentary(st.get(), &m);
        ebur128_loudness_shortterm(st.get(), &s);
        ebur128_loudness_window(st.get(), 100, &w);
        r.momentary.push_back(m);
        r.short_term.push_back(s);
        r.window.push_back(w);
    }
    ebur128_loudness_global(st.get(), &r.integrated);
    ebur128_loudness_range(st.get(), &r.range);
    return r;
}

readings meter_readings(const test_case& tc, const signal_data& d, const std::vector<size_t>& chunks)
{
    loudness_meter lm;
    EXPECT_EQ(loudness_meter_init(&lm, tc.channels, tc.rate), 0);
    const size_t k = static_cast<size_t>(tc.channels);
    const size_t step = static_cast<size_t>(tc.rate + 5) / 10;
    readings r;
    size_t at = 0, pieces = 0;
    for (size_t n : chunks) {
        switch (tc.format) {
        case S16: loudness_meter_add_s16(&lm, d.s16.data() + at * k, n); break;
        case S32: loudness_meter_add_s32(&lm, d.s32.data() + at * k, n); break;
        case FLOAT: loudness_meter_add_float(&lm, d.f.data() + at * k, n); break;
        }
        at += n;
        if (++pieces % reading_every(chunks) != 0)
            continue;
        double m = 0, s = 0, w = 0;
        loudness_meter_window(lm, 4 * step, &m);
        loudness_meter_window(lm, 30 * step, &s);
        loudness_meter_window(lm, static_cast<size_t>(tc.rate) * 100 / 1000, &w);
        r.momentary.push_back(m);
        r.short_term.push_back(s);
        r.window.push_back(w);
    }
    loudness_meter_flush(&lm);
    r.integrated = loudness_meter_integrated(lm);
    r.range = loudness_meter_range(lm);
    return r;
}

// Bits, not values: a difference in the last bit, or of sign, fails.
void expect_same_bits(const readings& want, const readings& got, const std::string& what)
{
    EXPECT_EQ(std::bit_cast<uint64_t>(want.integrated), std::bit_cast<uint64_t>(got.integrated))
        << what << ": integrated " << want.integrated << " vs " << got.integrated;
    EXPECT_EQ(std::bit_cast<uint64_t>(want.range), std::bit_cast<uint64_t>(got.range))
        << what << ": range " << want.range << " vs " << got.range;
    ASSERT_EQ(want.momentary.size(), got.momentary.size());
    size_t wrong = 0;
    for (size_t i = 0; i < want.momentary.size() && wrong < 3; ++i)
        for (auto [a, b, name] : {std::tuple{want.momentary[i], got.momentary[i], "momentary"},
                                  std::tuple{want.short_term[i], got.short_term[i], "short-term"},
                                  std::tuple{want.window[i], got.window[i], "100 ms"}})
            if (std::bit_cast<uint64_t>(a) != std::bit_cast<uint64_t>(b)) {
                ADD_FAILURE() << what << ": " << name << " after piece " << i << ": " << a << " vs " << b;
                ++wrong;
            }
}

}  // namespace

TEST(LoudnessMeter, comparesWithLibebur128Version126)
{
    int major = 0, minor = 0, patch = 0;
    ebur128_get_version(&major, &minor, &patch);
    EXPECT_EQ(major * 10000 + minor * 100 + patch, 10206) << major << "." << minor << "." << patch;
}

TEST(LoudnessMeter, givesLibebur128sBitsForEverySignalRateFormatAndChannelCount)
{
    // Rates where the 3 s window is and is not a whole number of 100 ms steps,
    // and where libebur128 rounds the 100 ms step.
    const int rates[] = {48000, 44100, 32000, 96000, 192000, 8000, 22050, 11025, 44101, 7999, 100};
    unsigned seed = 1;
    size_t gated = 0, ranged = 0;
    for (int kind = NOISE; kind <= DECAY; ++kind)
        for (int format = S16; format <= FLOAT; ++format) {
            const size_t r = static_cast<size_t>(kind * 3 + format);
            const int rate = rates[r % std::size(rates)];
            // Long enough for short-term blocks and a range, and for the 3 s
            // window to wrap many times.
            const size_t seconds = kind >= ENVELOPE ? 16 : 4 + r % 9;
            test_case tc{static_cast<signal_kind>(kind), static_cast<test_format>(format), rate,
                         static_cast<int>(1 + r % 8), seconds * static_cast<size_t>(rate) + (seed * 7919) % 4800};
            const signal_data d = make_signal(tc, ++seed);
            const std::vector<size_t> chunks = make_chunks(tc.frames, ++seed);
            const readings want = reference_readings(tc, d, chunks);
            gated += std::isfinite(want.integrated);
            ranged += want.range > 0;
            expect_same_bits(want, meter_readings(tc, d, chunks), describe(tc));
        }
    // The comparisons reach the gates and the range, not only silence.
    EXPECT_GT(gated, 15u);
    EXPECT_GT(ranged, 8u);
}

// Surround weights, the unused fourth channel and channels past the sixth,
// the largest channel count, and the smallest and largest rates.
TEST(LoudnessMeter, channelMapsAndExtremes)
{
    unsigned seed = 300;
    for (int channels : {2, 3, 4, 5, 6, 7, 8, 64})
        for (int rate : {16, 48000, 2822400}) {
            if (rate == 2822400 && channels > 2)
                continue;
            const size_t seconds = rate == 2822400 ? 3 : channels == 64 ? 4 : 8;
            test_case tc{ENVELOPE, FLOAT, rate, channels,
                         seconds * static_cast<size_t>(rate) + static_cast<size_t>(rate) / 3};
            signal_data d = make_signal(tc, ++seed);
            // Channels of different loudness, so that their weights show.
            for (size_t i = 0; i < d.f.size(); ++i)
                d.f[i] *= static_cast<float>(1.0 / (1 + i % static_cast<size_t>(channels)));
            const std::vector<size_t> chunks = make_chunks(tc.frames, ++seed);
            expect_same_bits(reference_readings(tc, d, chunks), meter_readings(tc, d, chunks), describe(tc));
        }
}

// One frame at a time, and all at once.
TEST(LoudnessMeter, everyPieceSizeGivesTheSameBits)
{
    unsigned seed = 500;
    for (int rate : {48000, 44100, 8000})
        for (bool single : {false, true}) {
            test_case tc{ENVELOPE, S32, rate, 2, 7 * static_cast<size_t>(rate) + 13};
            const signal_data d = make_signal(tc, ++seed);
            const std::vector<size_t> chunks =
                single ? std::vector<size_t>(tc.frames, 1) : std::vector<size_t>{tc.frames};
            const readings want = reference_readings(tc, d, chunks);
            const readings got = meter_readings(tc, d, chunks);
            expect_same_bits(want, got, describe(tc) + (single ? " singly" : " whole"));
        }
}

// Reading the figures part way (which completes the blocks under way) leaves
// the end figures as they were.
TEST(LoudnessMeter, flushingPartWayChangesNothing)
{
    test_case tc{ENVELOPE, FLOAT, 48000, 2, 30 * 48000 + 4321};
    const signal_data d = make_signal(tc, 700);
    loudness_meter whole, flushed;
    ASSERT_EQ(loudness_meter_init(&whole, 2, 48000), 0);
    ASSERT_EQ(loudness_meter_init(&flushed, 2, 48000), 0);
    loudness_meter_add_float(&whole, d.f.data(), tc.frames);
    std::mt19937 rng(7);
    for (size_t at = 0; at < tc.frames;) {
        const size_t n = std::min<size_t>(tc.frames - at, 1 + rng() % 70000);
        loudness_meter_add_float(&flushed, d.f.data() + at * 2, n);
        loudness_meter_flush(&flushed);
        at += n;
    }
    loudness_meter_flush(&whole);
    EXPECT_EQ(std::bit_cast<uint64_t>(loudness_meter_integrated(whole)),
              std::bit_cast<uint64_t>(loudness_meter_integrated(flushed)));
    EXPECT_EQ(std::bit_cast<uint64_t>(loudness_meter_range(whole)),
              std::bit_cast<uint64_t>(loudness_meter_range(flushed)));
    ASSERT_EQ(whole.gating.count, flushed.gating.count);
    for (size_t i = 0; i < whole.gating.count; ++i)
        ASSERT_EQ(loudness_energies_at(whole.gating, i), loudness_energies_at(flushed.gating, i)) << i;
    EXPECT_EQ(whole.short_term, flushed.short_term);
}

TEST(LoudnessMeter, refusesWhatLibebur128Refuses)
{
    loudness_meter lm;
    for (auto [channels, rate] : {std::pair{0, 48000}, {65, 48000}, {-1, 48000}, {2, 15}, {2, 2822401}, {2, 0}}) {
        EXPECT_EQ(loudness_meter_init(&lm, channels, rate), -22) << channels << " " << rate;
        if (channels >= 0 && rate >= 0) {
            EXPECT_EQ(ebur128_init(static_cast<unsigned>(channels), static_cast<unsigned long>(rate),
                                   EBUR128_MODE_I | EBUR128_MODE_LRA),
                      nullptr);
        }
    }
    EXPECT_EQ(loudness_meter_init(&lm, 64, 16), 0);
    double out = 0;
    EXPECT_EQ(loudness_meter_window(lm, 3 * 16 + 1, &out), -22);
}

// Quasi-peak meters stepped in the filter's pass, on the baseline processor's
// build and on the AVX2 one, end with the bits of meters fed each channel
// alone, sample by sample; the loudness does not change.
TEST(LoudnessMeter, quasiPeakMetersRidingAlongEndAsFedOneByOne)
{
    constexpr int types[4] = {0, 5, 10, 200};
    unsigned seed = 700;
    std::vector<bool> builds = {false};
    if (__builtin_cpu_supports("avx2"))
        builds.push_back(true);
    for (int kind : {NOISE, IMPULSES, OVER_FULL_SCALE, TINY, NOT_FINITE, ENVELOPE})
        for (int format = S16; format <= FLOAT; ++format)
            for (int channels : {1, 2, 3, 5, 6}) {
                const int rate = channels % 2 ? 44100 : 48000;
                test_case tc{static_cast<signal_kind>(kind), static_cast<test_format>(format), rate, channels,
                             2 * static_cast<size_t>(rate) + 777};
                const signal_data d = make_signal(tc, ++seed);
                const std::vector<size_t> chunks = make_chunks(tc.frames, ++seed);
                const size_t k = static_cast<size_t>(channels);
                // Each meter alone on its channel's readings.
                std::vector<qpm_meter> want;
                for (size_t c = 0; c < k; ++c)
                    for (int type : types) {
                        qpm_meter m{type, 0, 0};
                        for (size_t i = 0; i < tc.frames; ++i) {
                            const size_t at = i * k + c;
                            const double level = format == S16 ? d.s16[at] / 32767.0
                                : format == S32                ? d.s32[at] / 2147483647.0
                                                               : static_cast<double>(d.f[at]);
                            qpm_process(&m, level, 1.0 / rate);
                        }
                        want.push_back(m);
                    }
                loudness_meter plain;
                ASSERT_EQ(loudness_meter_init(&plain, channels, rate), 0);
                const bool rides = loudness_meter_uses_all(plain);
                EXPECT_EQ(rides, channels != 6);
                for (bool avx2 : builds) {
                    std::vector<qpm_meter> got(4 * k);
                    std::vector<qpm_meter*> meters;
                    for (size_t i = 0; i < got.size(); ++i) {
                        got[i] = {types[i % 4], 0, 0};
                        meters.push_back(&got[i]);
                    }
                    const loudness_qpm qpm{meters.data(), 1.0 / rate, avx2};
                    loudness_meter lm;
                    ASSERT_EQ(loudness_meter_init(&lm, channels, rate), 0);
                    size_t at = 0;
                    for (size_t n : chunks) {
                        switch (tc.format) {
                        case S16: loudness_meter_add_s16(&lm, d.s16.data() + at * k, n, &qpm); break;
                        case S32: loudness_meter_add_s32(&lm, d.s32.data() + at * k, n, &qpm); break;
                        case FLOAT: loudness_meter_add_float(&lm, d.f.data() + at * k, n, &qpm); break;
                        }
                        if (!avx2)  // the same pieces, without the meters
                            switch (tc.format) {
                            case S16: loudness_meter_add_s16(&plain, d.s16.data() + at * k, n); break;
                            case S32: loudness_meter_add_s32(&plain, d.s32.data() + at * k, n); break;
                            case FLOAT: loudness_meter_add_float(&plain, d.f.data() + at * k, n); break;
                            }
                        at += n;
                    }
                    loudness_meter_flush(&lm);
                    loudness_meter_flush(&plain);
                    const std::string what = describe(tc) + (avx2 ? " avx2" : " baseline");
                    EXPECT_EQ(std::bit_cast<uint64_t>(loudness_meter_integrated(lm)),
                              std::bit_cast<uint64_t>(loudness_meter_integrated(plain)))
                        << what;
                    EXPECT_EQ(std::bit_cast<uint64_t>(loudness_meter_range(lm)),
                              std::bit_cast<uint64_t>(loudness_meter_range(plain)))
                        << what;
                    for (size_t i = 0; i < got.size(); ++i) {
                        // Where the meters cannot ride along they are left alone.
                        const qpm_meter& w = rides ? want[i] : qpm_meter{types[i % 4], 0, 0};
                        ASSERT_EQ(std::bit_cast<uint64_t>(got[i].cur), std::bit_cast<uint64_t>(w.cur))
                            << what << " meter " << i;
                        ASSERT_EQ(std::bit_cast<uint64_t>(got[i].max), std::bit_cast<uint64_t>(w.max))
                            << what << " meter " << i;
                    }
                }
            }
}

// The filter's pass flushes results below DBL_MIN to zero, so a level that
// long digital silence has decayed below about 1e-300 stops there instead of
// decaying on into denormals. Nothing reported sees it: the held maxima keep
// their bits, and the levels are the same again from the signal's return.
TEST(LoudnessMeter, quasiPeakMetersRidingAlongAfterLongSilence)
{
    constexpr int types[4] = {0, 5, 10, 200};
    const int rate = 16;  // the quickest decay per sample
    std::vector<float> x(40000, 0.0f);
    for (size_t i = 0; i < 50; ++i)
        x[i] = x[30000 + i] = 0.5f * static_cast<float>(i % 7) / 7.0f;
    for (bool avx2 : {false, true}) {
        if (avx2 && !__builtin_cpu_supports("avx2"))
            continue;
        for (size_t end : {size_t(29999), x.size()}) {
            std::vector<qpm_meter> riding, alone;
            std::vector<qpm_meter*> riders;
            for (int type : types) {
                riding.push_back({type, 0, 0});
                alone.push_back({type, 0, 0});
            }
            for (qpm_meter& m : riding)
                riders.push_back(&m);
            loudness_meter lm;
            ASSERT_EQ(loudness_meter_init(&lm, 1, rate), 0);
            const loudness_qpm qpm{riders.data(), 1.0 / rate, avx2};
            loudness_meter_add_float(&lm, x.data(), end, &qpm);
            for (size_t k = 0; k < 4; ++k) {
                for (size_t i = 0; i < end; ++i)
                    qpm_process(&alone[k], x[i], 1.0 / rate);
                EXPECT_EQ(std::bit_cast<uint64_t>(riding[k].max), std::bit_cast<uint64_t>(alone[k].max)) << k;
                if (end == x.size() || types[k] == 0) {
                    EXPECT_EQ(std::bit_cast<uint64_t>(riding[k].cur), std::bit_cast<uint64_t>(alone[k].cur)) << k;
                } else {
                    // Decayed to a denormal alone, held near 4e-307 riding along.
                    EXPECT_LT(alone[k].cur, 1e-307) << k;
                    EXPECT_GT(riding[k].cur, 1e-308) << k;
                    EXPECT_LT(riding[k].cur, 1e-300) << k;
                }
            }
        }
    }
}
