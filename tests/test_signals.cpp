#include "test_signals.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>

double sample_value(signal_kind kind, size_t i, int channel, std::mt19937& rng)
{
    std::normal_distribution<double> noise(0.0, 0.3);
    const double phase = channel * M_PI / 7.0;
    switch (kind) {
    case NOISE: return std::clamp(noise(rng), -1.0, 1.0);
    case QUARTER_SINE: return 0.9 * std::sin(M_PI / 2 * static_cast<double>(i) + phase);
    case SQUARE: return (i / static_cast<size_t>(40 + channel)) % 2 ? 1.0 : -1.0;
    case NYQUIST_SQUARE: return i % 2 ? 1.0 : -1.0;
    case IMPULSES: return rng() % 997 == 0 ? (rng() % 2 ? 1.0 : -1.0) : 0.0;
    case OVER_FULL_SCALE: return 3.5 * std::sin(M_PI / 2 * static_cast<double>(i) + phase) + noise(rng);
    case TINY:
        // Interpolated peaks just below and just above FLT_MIN (the first are
        // flushed to zero), noise around it, and denormal noise.
        switch (channel % 4) {
        case 0: return 0.6 * FLT_MIN * std::sin(M_PI / 2 * static_cast<double>(i) + M_PI / 4);
        case 1: return 0.7 * FLT_MIN * std::sin(M_PI / 2 * static_cast<double>(i) + M_PI / 4);
        case 2: return 4 * FLT_MIN * noise(rng);
        default: return 4e-40 * noise(rng);
        }
    case NOT_FINITE: {
        const unsigned r = rng() % 5000;
        if (r == 0)
            return std::numeric_limits<double>::quiet_NaN();
        if (r == 1)
            return std::numeric_limits<double>::infinity();
        if (r == 2)
            return -std::numeric_limits<double>::infinity();
        return noise(rng);
    }
    case ENVELOPE: {
        const double t = static_cast<double>(i) / 48000.0;
        if (std::fmod(t, 11.0) > 9.5)
            return 0.0;
        return std::clamp(noise(rng) * std::pow(10.0, -2.0 + 2.0 * std::sin(t * (1.3 + 0.1 * channel))), -1.0, 1.0);
    }
    case DECAY: {
        const double t = static_cast<double>(i) / 48000.0;
        return std::fmod(t, 5.0) < 0.5 ? 0.8 * std::sin(0.05 * static_cast<double>(i) + phase) : 0.0;
    }
    }
    return 0;
}

signal_data make_signal(const test_case& tc, unsigned seed)
{
    std::mt19937 rng(seed);
    signal_data d;
    const size_t n = tc.frames * static_cast<size_t>(tc.channels);
    for (size_t k = 0; k < n; ++k) {
        const int c = static_cast<int>(k % static_cast<size_t>(tc.channels));
        const double v = sample_value(tc.kind, k / static_cast<size_t>(tc.channels), c, rng);
        switch (tc.format) {
        case S16: d.s16.push_back(static_cast<int16_t>(std::lrint(std::clamp(v * 32768.0, -32768.0, 32767.0)))); break;
        case S32:
            d.s32.push_back(
                static_cast<int32_t>(std::llrint(std::clamp(v * 2147483648.0, -2147483648.0, 2147483647.0))));
            break;
        case FLOAT: d.f.push_back(static_cast<float>(v)); break;
        }
    }
    return d;
}

std::vector<size_t> make_chunks(size_t frames, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> log_size(0.0, std::log(200000.0));
    std::vector<size_t> chunks;
    for (size_t done = 0; done < frames;) {
        const size_t n = std::min(frames - done, static_cast<size_t>(std::exp(log_size(rng))));
        chunks.push_back(std::max<size_t>(n, 1));
        done += chunks.back();
    }
    return chunks;
}

std::string describe(const test_case& tc)
{
    return std::string(kind_names[tc.kind]) + " " + format_names[tc.format] + " " + std::to_string(tc.rate) + " Hz " +
        std::to_string(tc.channels) + " ch " + std::to_string(tc.frames) + " frames";
}
