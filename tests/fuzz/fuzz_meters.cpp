// Fuzzes the meters against libebur128 on arbitrary samples: every true-peak
// kernel this processor has must give libebur128's sample and true peaks to
// the bit, and the loudness meter its integrated loudness, loudness range and
// momentary loudness, whatever the format, channels, rate and pieces. The
// quasi-peak meters that ride along the loudness filter must end as meters fed
// sample by sample. A NaN result matches any NaN.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <ebur128.h>

#include "loudness_meter.h"
#include "qpm.h"
#include "true_peak.h"

namespace {

// Two results alike: the same bits, or both NaN. NaN samples make NaN
// figures in both meters, whose payload and sign bits depend on the order of
// the operations that carried them and are not promised.
bool same_result(double a, double b)
{
    return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 8)
        return 0;
    static const int rates[] = {32000, 44100, 48000, 88200, 96000, 176400, 192000, 8000};
    const int format = data[0] % 3;  // s16, s32, float
    const size_t channels = 1 + data[1] % 8;
    const int rate = rates[data[2] % 8];
    uint32_t chunk_state = data[3];
    const size_t bytes = format == 0 ? 2 : 4;
    const size_t frames = (size - 4) / (bytes * channels);
    if (frames == 0)
        return 0;
    std::vector<uint8_t> samples(data + 4, data + 4 + frames * bytes * channels);
    // Whole, aligned samples in every format.
    std::vector<int16_t> s16(frames * channels);
    std::vector<int32_t> s32(frames * channels);
    std::vector<float> f(frames * channels);
    std::memcpy(format == 0       ? static_cast<void*>(s16.data())
                    : format == 1 ? static_cast<void*>(s32.data())
                                  : static_cast<void*>(f.data()),
                samples.data(), samples.size());

    std::vector<size_t> chunks;
    for (size_t done = 0; done < frames;) {
        chunk_state = chunk_state * 1103515245u + 12345u;
        const size_t n = std::min<size_t>(frames - done, 1 + (chunk_state >> 16) % 700);
        chunks.push_back(n);
        done += n;
    }

    ebur128_state* st = ebur128_init(static_cast<unsigned>(channels), static_cast<unsigned long>(rate),
                                     EBUR128_MODE_SAMPLE_PEAK | EBUR128_MODE_TRUE_PEAK);
    if (!st)
        abort();
    size_t at = 0;
    for (size_t n : chunks) {
        if (format == 0)
            ebur128_add_frames_short(st, s16.data() + at * channels, n);
        else if (format == 1)
            ebur128_add_frames_int(st, s32.data() + at * channels, n);
        else
            ebur128_add_frames_float(st, f.data() + at * channels, n);
        at += n;
    }
    for (true_peak_kernel kernel : {TRUE_PEAK_SCALAR, TRUE_PEAK_SSE2, TRUE_PEAK_AVX2, TRUE_PEAK_AVX512}) {
        if (!true_peak_kernel_available(kernel))
            continue;
        std::vector<true_peak_meter> meters(channels);
        for (true_peak_meter& m : meters)
            if (true_peak_init_kernel(&m, rate, kernel) != 0)
                abort();
        at = 0;
        for (size_t n : chunks) {
            for (size_t c = 0; c < channels; ++c) {
                if (format == 0)
                    true_peak_add_s16(&meters[c], s16.data() + at * channels + c, n, channels);
                else if (format == 1)
                    true_peak_add_s32(&meters[c], s32.data() + at * channels + c, n, channels);
                else
                    true_peak_add_float(&meters[c], f.data() + at * channels + c, n, channels);
            }
            at += n;
        }
        for (size_t c = 0; c < channels; ++c) {
            double sample = 0, true_peak = 0;
            ebur128_sample_peak(st, static_cast<unsigned>(c), &sample);
            ebur128_true_peak(st, static_cast<unsigned>(c), &true_peak);
            if (!same_result(sample, true_peak_sample_peak(meters[c])) ||
                !same_result(true_peak, true_peak_true_peak(meters[c])))
                abort();
        }
    }
    ebur128_destroy(&st);

    // The loudness, over the samples repeated to a few seconds at the low
    // rates (so that blocks are gated and ranged), in the same pieces' sizes.
    static const int loudness_rates[] = {8000, 16, 100, 11025, 48000, 7999, 44100, 22050};
    const int lrate = loudness_rates[data[2] % 8];
    const size_t total = std::max(frames, std::min<size_t>(60000, static_cast<size_t>(lrate) * (data[3] % 6)));
    auto repeat = [&](auto& v) {
        v.resize(total * channels);
        for (size_t i = frames * channels; i < v.size(); ++i)
            v[i] = v[i - frames * channels];
    };
    repeat(s16);
    repeat(s32);
    repeat(f);
    ebur128_state* ref = ebur128_init(static_cast<unsigned>(channels), static_cast<unsigned long>(lrate),
                                      EBUR128_MODE_I | EBUR128_MODE_LRA);
    loudness_meter lm;
    if (!ref || loudness_meter_init(&lm, static_cast<int>(channels), lrate) != 0)
        abort();
    static const int qpm_types[4] = {0, 5, 10, 200};
    std::vector<qpm_meter> riding(4 * channels);
    std::vector<qpm_meter*> riders;
    for (size_t i = 0; i < riding.size(); ++i) {
        riding[i] = {qpm_types[i % 4], 0, 0};
        riders.push_back(&riding[i]);
    }
    const double dt = 1.0 / lrate;
    const loudness_qpm qpm{riders.data(), dt, (data[1] & 8) != 0 && __builtin_cpu_supports("avx2")};
    at = 0;
    for (size_t i = 0; at < total; ++i) {
        const size_t n = std::min(total - at, chunks[i % chunks.size()]);
        if (format == 0) {
            ebur128_add_frames_short(ref, s16.data() + at * channels, n);
            loudness_meter_add_s16(&lm, s16.data() + at * channels, n, &qpm);
        } else if (format == 1) {
            ebur128_add_frames_int(ref, s32.data() + at * channels, n);
            loudness_meter_add_s32(&lm, s32.data() + at * channels, n, &qpm);
        } else {
            ebur128_add_frames_float(ref, f.data() + at * channels, n);
            loudness_meter_add_float(&lm, f.data() + at * channels, n, &qpm);
        }
        at += n;
    }
    double integrated = 0, range = 0, momentary = 0, mine = 0;
    ebur128_loudness_momentary(ref, &momentary);
    loudness_meter_window(lm, 4 * ((static_cast<size_t>(lrate) + 5) / 10), &mine);
    loudness_meter_flush(&lm);
    ebur128_loudness_global(ref, &integrated);
    ebur128_loudness_range(ref, &range);
    ebur128_destroy(&ref);
    if (!same_result(integrated, loudness_meter_integrated(lm)) || !same_result(range, loudness_meter_range(lm)) ||
        !same_result(momentary, mine))
        abort();
    // Where every channel counts the meters ride along; elsewhere they stay at rest.
    const bool rides = loudness_meter_uses_all(lm);
    for (size_t c = 0; c < channels; ++c)
        for (size_t k = 0; k < 4; ++k) {
            qpm_meter alone{qpm_types[k], 0, 0};
            if (rides)
                for (size_t i = 0; i < total; ++i) {
                    const size_t j = i * channels + c;
                    const double level = format == 0 ? s16[j] / 32767.0
                        : format == 1                ? s32[j] / 2147483647.0
                                                     : static_cast<double>(f[j]);
                    qpm_process(&alone, level, dt);
                }
            // The held maximum to the bit; the level too, unless digital
            // silence has taken it below where the filter's pass flushes.
            const qpm_meter& got = riding[4 * c + k];
            const bool flushed = alone.cur < 1e-300 && got.cur < 1e-300;
            if (!same_result(alone.max, got.max) || (!flushed && !same_result(alone.cur, got.cur)))
                abort();
        }
    return 0;
}
