// Test signals shared by the differential tests of the meters: the same
// kinds of signal, sample formats and ways of cutting them into pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

enum signal_kind {
    NOISE,
    QUARTER_SINE,    // fs/4 with a phase offset: the interpolated peak lies between samples
    SQUARE,          // full scale
    NYQUIST_SQUARE,  // +1, -1, ...
    IMPULSES,
    OVER_FULL_SCALE,  // floats beyond 1.0; integers clip
    TINY,             // around FLT_MIN, where outputs are flushed to zero, and denormals
    NOT_FINITE,       // NaN and infinities among noise
    // For the loudness: levels that move over seconds, so that the gates
    // and the range have something to tell apart.
    ENVELOPE,  // noise whose level swings over 40 dB every few seconds, with stretches of silence
    DECAY,     // bursts, then digital silence: the filters' state decays through denormals to zero
};

inline const char* const kind_names[] = {"noise",           "quarter_sine", "square",     "nyquist_square", "impulses",
                                         "over_full_scale", "tiny",         "not_finite", "envelope",       "decay"};

inline const char* const format_names[] = {"s16", "s32", "float"};
enum test_format { S16, S32, FLOAT };

// Sample i of a channel, in units of full scale.
double sample_value(signal_kind kind, size_t i, int channel, std::mt19937& rng);

struct test_case {
    signal_kind kind;
    test_format format;
    int rate;
    int channels;
    size_t frames;
};

struct signal_data {
    std::vector<int16_t> s16;
    std::vector<int32_t> s32;
    std::vector<float> f;
};

// The interleaved samples of a case, in its format.
signal_data make_signal(const test_case& tc, unsigned seed);

// Pieces of 1 to 200,000 frames, evenly spread on a log scale.
std::vector<size_t> make_chunks(size_t frames, unsigned seed);

std::string describe(const test_case& tc);
