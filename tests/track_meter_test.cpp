// The shared metering module: its split of the work (the peaks measured apart
// from the loudness, threads) must give exactly the figures of one libebur128
// state fed everything in order.
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include <ebur128.h>
#include <gtest/gtest.h>

#include "track_meter.h"

namespace {

struct ebur128_destroyer {
    void operator()(ebur128_state* st) const { ebur128_destroy(&st); }
};
using ebur128_ptr = std::unique_ptr<ebur128_state, ebur128_destroyer>;

struct test_signal {
    track_sample_format format;
    int channels;
    int rate;
    std::vector<uint8_t> bytes;  // interleaved
    size_t frames;
};

// Noise with a slow envelope, different in every channel, some samples at full scale.
test_signal make_signal(track_sample_format format, int channels, int rate, double seconds, unsigned seed)
{
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, 0.2);
    test_signal s{format, channels, rate, {}, static_cast<size_t>(seconds * rate)};
    s.bytes.resize(s.frames * static_cast<size_t>(channels) * track_sample_bytes(format));
    for (size_t i = 0; i < s.frames * static_cast<size_t>(channels); ++i) {
        const double env = 0.3 + 0.7 * std::fabs(std::sin(static_cast<double>(i) / (rate * 0.7)));
        double v =
            std::clamp(noise(rng) * env * (1 + static_cast<double>(i % static_cast<size_t>(channels))), -1.0, 1.0);
        if (rng() % 50000 == 0)
            v = -1.0;
        if (format == TRACK_S16) {
            const auto x = static_cast<int16_t>(std::lrint(std::clamp(v * 32768.0, -32768.0, 32767.0)));
            std::memcpy(&s.bytes[i * 2], &x, 2);
        } else if (format == TRACK_S32) {
            const auto x = static_cast<int32_t>(std::llrint(std::clamp(v * 2147483648.0, -2147483648.0, 2147483647.0)));
            std::memcpy(&s.bytes[i * 4], &x, 4);
        } else {
            const auto x = static_cast<float>(v);
            std::memcpy(&s.bytes[i * 4], &x, 4);
        }
    }
    return s;
}

void feed(meter_pool* pool, size_t t, const test_signal& s, size_t from, size_t frames)
{
    const size_t frame_bytes = static_cast<size_t>(s.channels) * track_sample_bytes(s.format);
    std::memcpy(meter_pool_append(pool, t, frames), s.bytes.data() + from * frame_bytes, frames * frame_bytes);
}

// Every figure of several tracks fed through a pool of the given threads, in
// packets of irregular sizes, interleaving the tracks.
// With `series`, the readings every 100 ms of each track are kept in it; with
// `non_finite`, each track's count of samples that were not finite.
std::vector<track_figures> measure(const std::vector<test_signal>& signals, unsigned threads,
                                   std::vector<track_series>* series = nullptr,
                                   std::vector<uint64_t>* non_finite = nullptr)
{
    std::vector<track_meter> meters(signals.size());
    for (size_t t = 0; t < signals.size(); ++t) {
        EXPECT_EQ(track_meter_init(&meters[t], signals[t].channels, signals[t].rate, signals[t].format), 0);
        meters[t].silence_non_finite = non_finite != nullptr;
        if (series)
            track_meter_keep_series(&meters[t]);
    }
    meter_pool* pool = nullptr;
    EXPECT_EQ(meter_pool_create(&pool, &meters, threads), 0);
    std::vector<size_t> done(signals.size(), 0);
    std::mt19937 rng(11);
    for (bool more = true; more;) {
        more = false;
        for (size_t t = 0; t < signals.size(); ++t) {
            const size_t n = std::min<size_t>(1 + rng() % 5000, signals[t].frames - done[t]);
            if (n > 0)
                feed(pool, t, signals[t], done[t], n);
            done[t] += n;
            more = more || done[t] < signals[t].frames;
        }
    }
    meter_pool_destroy(&pool);
    std::vector<track_figures> figures;
    for (const track_meter& m : meters)
        figures.push_back(track_meter_figures(m));
    if (series) {
        *series = std::vector<track_series>(meters.size());
        for (size_t t = 0; t < meters.size(); ++t) {
            (*series)[t].momentary = meters[t].series->momentary;
            (*series)[t].short_term = meters[t].series->short_term;
            (*series)[t].true_peak = meters[t].series->true_peak;
        }
    }
    if (non_finite) {
        non_finite->clear();
        for (const track_meter& m : meters)
            non_finite->push_back(m.non_finite);
    }
    return figures;
}

void expect_identical(const std::vector<track_figures>& a, const std::vector<track_figures>& b)
{
    ASSERT_EQ(a.size(), b.size());
    for (size_t t = 0; t < a.size(); ++t) {
        EXPECT_EQ(a[t].loudness, b[t].loudness) << "track " << t;
        EXPECT_EQ(a[t].lra, b[t].lra) << "track " << t;
        ASSERT_EQ(a[t].channels.size(), b[t].channels.size());
        for (size_t c = 0; c < a[t].channels.size(); ++c) {
            EXPECT_EQ(a[t].channels[c].sample_peak, b[t].channels[c].sample_peak) << t << "/" << c;
            EXPECT_EQ(a[t].channels[c].true_peak, b[t].channels[c].true_peak) << t << "/" << c;
            for (int k = 0; k < 4; ++k)
                EXPECT_EQ(a[t].channels[c].qpm_db[k], b[t].channels[c].qpm_db[k]) << t << "/" << c << "/" << k;
        }
    }
}

// The readings of a series: reading k at the frame boundary nearest to
// k × 100 ms, halves up (k × rate / 10 is exact in a double when it is a
// half), for as long as that boundary lies within the track.
size_t nearest_frame(size_t k, int rate)
{
    return static_cast<size_t>(std::llround(static_cast<double>(k) * rate / 10.0));
}

size_t readings_within(const test_signal& s)
{
    size_t k = 0;
    while (nearest_frame(k + 1, s.rate) <= s.frames)
        ++k;
    return k;
}

void add_to(ebur128_state* st, const test_signal& s, size_t from, size_t frames)
{
    const size_t at = from * static_cast<size_t>(s.channels) * track_sample_bytes(s.format);
    const void* data = s.bytes.data() + at;
    if (s.format == TRACK_S16)
        ebur128_add_frames_short(st, static_cast<const short*>(data), frames);
    else if (s.format == TRACK_S32)
        ebur128_add_frames_int(st, static_cast<const int*>(data), frames);
    else
        ebur128_add_frames_float(st, static_cast<const float*>(data), frames);
}

}  // namespace

TEST(TrackMeter, SplitStatesGiveExactlyTheFiguresOfOneFullState)
{
    const test_signal cases[] = {
        make_signal(TRACK_S16, 2, 48000, 6, 1),   make_signal(TRACK_S32, 6, 48000, 5, 2),
        make_signal(TRACK_FLOAT, 1, 44100, 5, 3), make_signal(TRACK_FLOAT, 3, 96000, 4, 4),
        make_signal(TRACK_S16, 5, 44100, 4, 9),
    };
    for (const test_signal& s : cases) {
        // One state with every measurement, fed in one piece.
        ebur128_ptr full(
            ebur128_init(static_cast<unsigned>(s.channels), static_cast<unsigned long>(s.rate),
                         EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_SAMPLE_PEAK | EBUR128_MODE_TRUE_PEAK));
        if (s.format == TRACK_S16)
            ebur128_add_frames_short(full.get(), reinterpret_cast<const short*>(s.bytes.data()), s.frames);
        else if (s.format == TRACK_S32)
            ebur128_add_frames_int(full.get(), reinterpret_cast<const int*>(s.bytes.data()), s.frames);
        else
            ebur128_add_frames_float(full.get(), reinterpret_cast<const float*>(s.bytes.data()), s.frames);
        double loudness = 0, lra = 0;
        ebur128_loudness_global(full.get(), &loudness);
        ebur128_loudness_range(full.get(), &lra);

        // One thread steps the quasi-peak meters in the loudness filter's
        // pass, three give them a pass of their own.
        for (unsigned threads : {1u, 3u}) {
            const track_figures f = measure({s}, threads)[0];
            EXPECT_EQ(f.loudness, loudness);
            EXPECT_EQ(f.lra, lra);
            for (int c = 0; c < s.channels; ++c) {
                double sample_peak = 0, true_peak = 0;
                ebur128_sample_peak(full.get(), static_cast<unsigned>(c), &sample_peak);
                ebur128_true_peak(full.get(), static_cast<unsigned>(c), &true_peak);
                EXPECT_EQ(f.channels[static_cast<size_t>(c)].sample_peak, sample_peak) << c;
                EXPECT_EQ(f.channels[static_cast<size_t>(c)].true_peak, true_peak) << c;
                // The quasi-peak meters, whichever pass steps them, against one
                // meter of each type fed the channel sample by sample.
                for (int k = 0; k < 4; ++k) {
                    qpm_meter* m = nullptr;
                    constexpr int types[4] = {0, 5, 10, 200};
                    ASSERT_EQ(qpm_create(&m, types[k]), 0);
                    qpm_ptr meter(m);
                    for (size_t i = 0; i < s.frames; ++i) {
                        const size_t at = i * static_cast<size_t>(s.channels) + static_cast<size_t>(c);
                        double level = 0;
                        if (s.format == TRACK_S16) {
                            int16_t x;
                            std::memcpy(&x, &s.bytes[at * 2], 2);
                            level = x / 32767.0;
                        } else if (s.format == TRACK_S32) {
                            int32_t x;
                            std::memcpy(&x, &s.bytes[at * 4], 4);
                            level = x / 2147483647.0;
                        } else {
                            float x;
                            std::memcpy(&x, &s.bytes[at * 4], 4);
                            level = x;
                        }
                        qpm_process(meter.get(), level, 1.0 / s.rate);
                    }
                    double db = 0;
                    qpm_get_max_db(meter.get(), &db, 1.0);
                    EXPECT_EQ(f.channels[static_cast<size_t>(c)].qpm_db[k], db)
                        << s.channels << " ch, channel " << c << ", " << threads << " threads";
                }
            }
        }
    }
}

TEST(TrackMeter, FiguresDoNotDependOnTheNumberOfThreads)
{
    const std::vector<test_signal> tracks = {
        make_signal(TRACK_FLOAT, 2, 48000, 4, 5),
        make_signal(TRACK_FLOAT, 1, 48000, 4, 6),
        make_signal(TRACK_S16, 6, 48000, 3, 7),
        make_signal(TRACK_S32, 1, 44100, 5, 8),
    };
    const std::vector<track_figures> one = measure(tracks, 1);
    for (unsigned threads : {2u, 3u, 8u, 0u})
        expect_identical(one, measure(tracks, threads));
}

TEST(TrackMeter, QuasiPeakBlockEqualsSampleBySample)
{
    std::mt19937 rng(9);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> x(20000);
    for (double& v : x)
        v = u(rng) * (rng() % 7 == 0 ? 0.01 : 1.0);
    x[100] = std::nan("");
    qpm_meter bank[4] = {{0, 0, 0}, {5, 0, 0}, {10, 0, 0}, {200, 0, 0}};
    qpm_meter* const banked[4] = {&bank[0], &bank[1], &bank[2], &bank[3]};
    qpm_process_block4(banked, x.data(), 7000, 1.0 / 48000);
    qpm_process_block4(banked, x.data() + 7000, x.size() - 7000, 1.0 / 48000);
    for (int k = 0; k < 4; ++k) {
        const int type = bank[k].type;
        qpm_meter a{type, 0, 0}, b{type, 0, 0};
        for (double v : x)
            qpm_process(&a, v, 1.0 / 48000);
        qpm_process_block(&b, x.data(), x.size(), 1.0 / 48000);
        EXPECT_EQ(a.cur, b.cur) << type;
        EXPECT_EQ(a.max, b.max) << type;
        EXPECT_EQ(a.cur, bank[k].cur) << type;
        EXPECT_EQ(a.max, bank[k].max) << type;
    }
    qpm_meter odd{7, 0.5, 0.5};
    qpm_meter* const with_odd[4] = {&bank[0], &bank[1], &odd, &bank[3]};
    const double before = bank[1].cur;
    EXPECT_EQ(qpm_process_block4(with_odd, x.data(), 10, 1.0 / 48000), -22);
    EXPECT_EQ(bank[1].cur, before);
}

TEST(TrackMeter, QuasiPeakFramesEqualEachChannelAlone)
{
    std::mt19937 rng(10);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (size_t channels = 1; channels <= 8; ++channels) {
        const size_t n = 3001;
        std::vector<double> x(n * channels);
        for (double& v : x)
            v = u(rng) * (rng() % 5 == 0 ? 0.02 : 1.0);
        x[7 * channels - 1] = std::nan("");
        std::vector<qpm_meter> framed, alone;
        for (size_t c = 0; c < channels; ++c)
            for (int type : {0, 5, 10, 200}) {
                framed.push_back({type, 0, 0});
                alone.push_back({type, 0, 0});
            }
        std::vector<qpm_meter*> framed_ptrs;
        for (qpm_meter& m : framed)
            framed_ptrs.push_back(&m);
        ASSERT_EQ(qpm_process_frames(framed_ptrs.data(), channels, x.data(), 1000, 1.0 / 48000), 0);
        ASSERT_EQ(qpm_process_frames(framed_ptrs.data(), channels, x.data() + 1000 * channels, n - 1000, 1.0 / 48000),
                  0);
        for (size_t c = 0; c < channels; ++c) {
            std::vector<double> mono(n);
            for (size_t i = 0; i < n; ++i)
                mono[i] = x[i * channels + c];
            qpm_meter* const four[4] = {&alone[4 * c], &alone[4 * c + 1], &alone[4 * c + 2], &alone[4 * c + 3]};
            qpm_process_block4(four, mono.data(), n, 1.0 / 48000);
        }
        for (size_t k = 0; k < framed.size(); ++k) {
            EXPECT_EQ(framed[k].cur, alone[k].cur) << channels << " channels, meter " << k;
            EXPECT_EQ(framed[k].max, alone[k].max) << channels << " channels, meter " << k;
        }
    }
}

TEST(TrackMeter, SeriesLeaveTheFiguresAsTheyWereAndCoverEvery100Ms)
{
    // Lengths that end between 100 ms marks; rates whose 100 ms is not a
    // whole number of frames (11025 Hz: 1102.5, the loudness library's step
    // 1103), read from the meter's window at each mark rather than from block
    // energies; 6 s at 11025 Hz has 60 readings.
    const std::vector<test_signal> tracks = {
        make_signal(TRACK_S16, 2, 48000, 3.25, 21), make_signal(TRACK_FLOAT, 1, 44100, 4.04, 22),
        make_signal(TRACK_S32, 6, 22050, 3.5, 23),  make_signal(TRACK_S16, 2, 11025, 3.3, 24),
        make_signal(TRACK_FLOAT, 1, 11025, 6, 25),  make_signal(TRACK_S16, 1, 44101, 2.35, 26),
    };
    EXPECT_EQ(readings_within(tracks[4]), 60u);
    std::vector<track_series> one, three;
    const std::vector<track_figures> plain = measure(tracks, 3);
    expect_identical(measure(tracks, 1, &one), plain);
    expect_identical(measure(tracks, 3, &three), plain);
    for (size_t t = 0; t < tracks.size(); ++t) {
        const size_t entries = readings_within(tracks[t]);
        EXPECT_EQ(one[t].momentary.size(), entries) << t;
        EXPECT_EQ(one[t].short_term.size(), entries) << t;
        EXPECT_EQ(one[t].true_peak.size(), entries) << t;
        EXPECT_EQ(three[t].momentary, one[t].momentary) << t;
        EXPECT_EQ(three[t].short_term, one[t].short_term) << t;
        EXPECT_EQ(three[t].true_peak, one[t].true_peak) << t;
        // The last reading covers the last 400 ms and 3 s: a state fed only up
        // to its mark reads the same.
        ebur128_ptr st(ebur128_init(static_cast<unsigned>(tracks[t].channels),
                                    static_cast<unsigned long>(tracks[t].rate), EBUR128_MODE_S));
        add_to(st.get(), tracks[t], 0, nearest_frame(entries, tracks[t].rate));
        double m = 0, s = 0;
        ebur128_loudness_window(st.get(), 400, &m);
        ebur128_loudness_window(st.get(), 3000, &s);
        EXPECT_EQ(one[t].momentary.back(), static_cast<float>(m)) << t;
        EXPECT_EQ(one[t].short_term.back(), static_cast<float>(s)) << t;
        // No 100 ms peaks above the whole track's; the loudest reaches it
        // unless the peak lies in the part after the last mark.
        double peak = 0;
        for (const channel_figures& c : plain[t].channels)
            peak = std::max(peak, c.true_peak);
        const float top = *std::max_element(one[t].true_peak.begin(), one[t].true_peak.end());
        EXPECT_LE(top, static_cast<float>(peak)) << t;
        EXPECT_GT(top, 0.5f * static_cast<float>(peak)) << t;
    }
}

TEST(TrackMeter, SeriesReadingsAreTheLibrarysAtTheFrameNearestEach100Ms)
{
    // Every reading against a libebur128 state fed up to its mark, at rates
    // where a reading falls between the library's 100 ms steps: the loudness
    // of its 400 ms and 3 s windows, and the largest true peak of any channel
    // in the frames since the mark before.
    const std::vector<test_signal> tracks = {
        make_signal(TRACK_S16, 2, 11025, 7.2, 31),
        make_signal(TRACK_FLOAT, 1, 11025, 4.55, 32),
        make_signal(TRACK_S32, 3, 44101, 3.3, 33),
        make_signal(TRACK_FLOAT, 2, 7999, 4.0, 34),
    };
    std::vector<track_series> series;
    measure(tracks, 3, &series);
    for (size_t t = 0; t < tracks.size(); ++t) {
        const test_signal& sig = tracks[t];
        const size_t entries = readings_within(sig);
        ASSERT_EQ(series[t].momentary.size(), entries) << t;
        ASSERT_EQ(series[t].true_peak.size(), entries) << t;
        ebur128_ptr st(ebur128_init(static_cast<unsigned>(sig.channels), static_cast<unsigned long>(sig.rate),
                                    EBUR128_MODE_S | EBUR128_MODE_TRUE_PEAK));
        size_t fed = 0;
        for (size_t i = 0; i < entries; ++i) {
            const size_t mark = nearest_frame(i + 1, sig.rate);
            add_to(st.get(), sig, fed, mark - fed);
            fed = mark;
            double m = 0, s = 0, peak = 0;
            ebur128_loudness_window(st.get(), 400, &m);
            ebur128_loudness_window(st.get(), 3000, &s);
            for (int c = 0; c < sig.channels; ++c) {
                double p = 0;
                ebur128_prev_true_peak(st.get(), static_cast<unsigned>(c), &p);
                peak = std::max(peak, p);
            }
            EXPECT_EQ(series[t].momentary[i], static_cast<float>(m)) << sig.rate << " Hz, reading " << i;
            EXPECT_EQ(series[t].short_term[i], static_cast<float>(s)) << sig.rate << " Hz, reading " << i;
            EXPECT_EQ(series[t].true_peak[i], static_cast<float>(peak)) << sig.rate << " Hz, reading " << i;
        }
    }
}

TEST(TrackMeter, NonFiniteFloatSamplesAreMeasuredAsSilence)
{
    // NaNs of several bit patterns and both infinities, in every channel,
    // against the same signal with 0 in their places: every figure and
    // reading the same to the bit (the loudness filter's state is never left
    // NaN), and every one of them counted.
    test_signal with = make_signal(TRACK_FLOAT, 3, 48000, 4.3, 41);
    test_signal zeroed = with;
    const uint32_t odd[] = {0x7fc00000, 0xffc00000, 0x7f800001, 0x7fbfffff, 0xffffffff, 0x7f800000, 0xff800000};
    std::mt19937 rng(42);
    const size_t samples = with.frames * static_cast<size_t>(with.channels);
    std::vector<size_t> places = {0, samples - 1};
    for (int i = 0; i < 40; ++i)
        places.push_back(rng() % samples);
    std::sort(places.begin(), places.end());
    places.erase(std::unique(places.begin(), places.end()), places.end());
    for (size_t k = 0; k < places.size(); ++k) {
        std::memcpy(&with.bytes[places[k] * 4], &odd[k % 7], 4);
        std::memset(&zeroed.bytes[places[k] * 4], 0, 4);
    }
    const test_signal finite = make_signal(TRACK_S16, 2, 44100, 2, 43);
    for (unsigned threads : {1u, 3u}) {
        std::vector<track_series> a, b;
        std::vector<uint64_t> count_a, count_b;
        const std::vector<track_figures> fa = measure({with, finite}, threads, &a, &count_a);
        const std::vector<track_figures> fb = measure({zeroed, finite}, threads, &b, &count_b);
        expect_identical(fa, fb);
        EXPECT_TRUE(std::isfinite(fa[0].loudness)) << fa[0].loudness;
        EXPECT_EQ(a[0].momentary, b[0].momentary);
        EXPECT_EQ(a[0].short_term, b[0].short_term);
        EXPECT_EQ(a[0].true_peak, b[0].true_peak);
        EXPECT_EQ(count_a, (std::vector<uint64_t>{places.size(), 0}));
        EXPECT_EQ(count_b, (std::vector<uint64_t>{0, 0}));
    }
}
