// The true-peak module against the installed libebur128 1.2.6, which is the
// oracle: every kernel this processor has must give libebur128's sample and
// true peaks to the last bit, for any signal, rate, channel count, sample
// format and way of cutting the input into pieces.
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <iostream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <ebur128.h>
#include <gtest/gtest.h>

#include "test_signals.h"
#include "true_peak.h"

namespace {

const char* const kernel_names[] = {"scalar", "sse2", "avx2", "avx512"};

struct peaks {
    std::vector<double> sample, true_peak;
};

peaks reference_peaks(const test_case& tc, const signal_data& d, const std::vector<size_t>& chunks)
{
    ebur128_state* st = ebur128_init(static_cast<unsigned>(tc.channels), static_cast<unsigned long>(tc.rate),
                                     EBUR128_MODE_SAMPLE_PEAK | EBUR128_MODE_TRUE_PEAK);
    EXPECT_NE(st, nullptr);
    size_t at = 0;
    const size_t k = static_cast<size_t>(tc.channels);
    for (size_t n : chunks) {
        switch (tc.format) {
        case S16: ebur128_add_frames_short(st, d.s16.data() + at * k, n); break;
        case S32: ebur128_add_frames_int(st, d.s32.data() + at * k, n); break;
        case FLOAT: ebur128_add_frames_float(st, d.f.data() + at * k, n); break;
        }
        at += n;
    }
    peaks p;
    for (unsigned c = 0; c < k; ++c) {
        double s = 0, t = 0;
        ebur128_sample_peak(st, c, &s);
        ebur128_true_peak(st, c, &t);
        p.sample.push_back(s);
        p.true_peak.push_back(t);
    }
    ebur128_destroy(&st);
    return p;
}

peaks module_peaks(const test_case& tc, const signal_data& d, const std::vector<size_t>& chunks,
                   true_peak_kernel kernel)
{
    const size_t k = static_cast<size_t>(tc.channels);
    std::vector<true_peak_meter> meters(k);
    for (auto& m : meters)
        EXPECT_EQ(true_peak_init_kernel(&m, tc.rate, kernel), 0);
    size_t at = 0;
    for (size_t n : chunks) {
        for (size_t c = 0; c < k; ++c) {
            switch (tc.format) {
            case S16: true_peak_add_s16(&meters[c], d.s16.data() + at * k + c, n, k); break;
            case S32: true_peak_add_s32(&meters[c], d.s32.data() + at * k + c, n, k); break;
            case FLOAT: true_peak_add_float(&meters[c], d.f.data() + at * k + c, n, k); break;
            }
        }
        at += n;
    }
    peaks p;
    for (const auto& m : meters) {
        p.sample.push_back(true_peak_sample_peak(m));
        p.true_peak.push_back(true_peak_true_peak(m));
    }
    return p;
}

std::vector<true_peak_kernel> available_kernels()
{
    std::vector<true_peak_kernel> ks;
    for (true_peak_kernel k : {TRUE_PEAK_SCALAR, TRUE_PEAK_SSE2, TRUE_PEAK_AVX2, TRUE_PEAK_AVX512})
        if (true_peak_kernel_available(k))
            ks.push_back(k);
    return ks;
}

// Bits, not values: a difference in the last bit, or of sign, fails.
void expect_same_bits(const peaks& want, const peaks& got, const std::string& what)
{
    ASSERT_EQ(want.true_peak.size(), got.true_peak.size());
    for (size_t c = 0; c < want.true_peak.size(); ++c) {
        EXPECT_EQ(std::bit_cast<uint64_t>(want.sample[c]), std::bit_cast<uint64_t>(got.sample[c]))
            << what << " channel " << c << " sample peak " << want.sample[c] << " vs " << got.sample[c];
        EXPECT_EQ(std::bit_cast<uint64_t>(want.true_peak[c]), std::bit_cast<uint64_t>(got.true_peak[c]))
            << what << " channel " << c << " true peak " << want.true_peak[c] << " vs " << got.true_peak[c];
    }
}

const int rates[] = {32000, 44100, 48000, 88200, 96000, 176400, 192000};

}  // namespace

TEST(TruePeak, comparesWithLibebur128Version126)
{
    int major = 0, minor = 0, patch = 0;
    ebur128_get_version(&major, &minor, &patch);
    EXPECT_EQ(major * 10000 + minor * 100 + patch, 10206) << major << "." << minor << "." << patch;
}

TEST(TruePeak, everyKernelGivesLibebur128sBitsForEverySignalRateAndFormat)
{
    const std::vector<true_peak_kernel> kernels = available_kernels();
    std::string names;
    for (true_peak_kernel k : kernels)
        names += std::string(" ") + kernel_names[k];
    std::cout << "kernels tested:" << names << "\n";
    ASSERT_GE(kernels.size(), 2u);

    unsigned seed = 1;
    size_t interpolated_above_samples = 0;
    for (int kind = NOISE; kind <= NOT_FINITE; ++kind)
        for (int format = S16; format <= FLOAT; ++format)
            for (int pass = 0; pass < 2; ++pass) {
                // Every rate and channel count turns up across the kinds and
                // formats; 4-times oversampling with 4 channels always.
                const size_t r = static_cast<size_t>(kind * 3 + format);
                test_case tc{static_cast<signal_kind>(kind), static_cast<test_format>(format),
                             pass ? 48000 : rates[r % std::size(rates)], pass ? 4 : static_cast<int>(1 + r % 8),
                             static_cast<size_t>(20000 + (seed * 7919) % 280000)};
                const signal_data d = make_signal(tc, ++seed);
                const std::vector<size_t> chunks = make_chunks(tc.frames, ++seed);
                const peaks want = reference_peaks(tc, d, chunks);
                for (size_t c = 0; c < want.true_peak.size(); ++c)
                    interpolated_above_samples += want.true_peak[c] > want.sample[c];
                for (true_peak_kernel k : kernels)
                    expect_same_bits(want, module_peaks(tc, d, chunks, k), describe(tc) + " kernel " + kernel_names[k]);
            }
    // The comparisons reach the interpolator, not only the sample peak that bounds it from below.
    EXPECT_GT(interpolated_above_samples, 40u);
}

// Each rate with every kernel, one sample at a time and in one piece: the
// kernels' vector loops and their ends for every remainder of frames.
TEST(TruePeak, everyRateAndPieceSizeGivesTheSameBits)
{
    const std::vector<true_peak_kernel> kernels = available_kernels();
    unsigned seed = 100;
    for (int rate : rates)
        for (size_t frames : {1u, 5u, 13u, 31u, 2047u, 2049u, 6001u})
            for (bool single : {false, true}) {
                test_case tc{QUARTER_SINE, FLOAT, rate, 2, frames};
                signal_data d = make_signal(tc, ++seed);
                for (size_t i = 0; i < d.f.size(); ++i)  // noise on the sine, different everywhere
                    d.f[i] += static_cast<float>((i * 2654435761u % 1000) * 1e-4);
                const std::vector<size_t> chunks =
                    single ? std::vector<size_t>(frames, 1) : std::vector<size_t>{frames};
                const peaks want = reference_peaks(tc, d, chunks);
                for (true_peak_kernel k : kernels)
                    expect_same_bits(want, module_peaks(tc, d, chunks, k),
                                     describe(tc) + (single ? " singly" : " whole") + " kernel " + kernel_names[k]);
            }
}

TEST(TruePeak, rejectsKernelsTheProcessorLacksAndBadRates)
{
    true_peak_meter m;
    EXPECT_EQ(true_peak_init_kernel(&m, 0, TRUE_PEAK_SCALAR), -22);
    EXPECT_EQ(true_peak_init_kernel(&m, -48000, TRUE_PEAK_SSE2), -22);
    for (true_peak_kernel k : {TRUE_PEAK_AVX2, TRUE_PEAK_AVX512})
        EXPECT_EQ(true_peak_init_kernel(&m, 48000, k), true_peak_kernel_available(k) ? 0 : -22);
}
