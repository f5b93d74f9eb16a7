// Sample peak and true peak of one channel, bit for bit as libebur128 1.2.6
// measures them (EBUR128_MODE_SAMPLE_PEAK | EBUR128_MODE_TRUE_PEAK), and much
// faster.
//
// The true peak is the largest magnitude of the signal oversampled by a
// polyphase windowed-sinc interpolator: 4 times below 96 kHz, 2 times below
// 192 kHz, not at all above. Each interpolated value is a double sum, in tap
// order, of float samples times double coefficients, rounded to float with
// results below FLT_MIN flushed to zero. The vector kernels compute consecutive
// output frames in their lanes, each lane with the same multiplies and adds in
// the same order as the scalar reference, so all kernels give the same bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

enum true_peak_kernel {
    TRUE_PEAK_SCALAR,  // the reference: libebur128's own loop, one output at a time
    TRUE_PEAK_SSE2,    // 2 output frames per vector
    TRUE_PEAK_AVX2,    // 4
    TRUE_PEAK_AVX512,  // 8
};

struct true_peak_meter {
    true_peak_kernel kernel = TRUE_PEAK_SCALAR;
    int factor = 1;  // oversampling: 4, 2 or 1 (none)
    // Per phase of the interpolator, its taps in the order they are summed:
    // tap t multiplies the sample index[t] frames before the newest.
    std::vector<std::vector<double>> coeff;
    std::vector<std::vector<int>> index;
    // The same for the vector kernels, which need phase 0 to be a single tap
    // and every other phase to have `taps` taps on indexes 0, 1, ... in order
    // (checked when the meter is prepared; otherwise the scalar kernel runs).
    int taps = 0;
    int delay0 = 0;                    // index of phase 0's tap
    double coeff0 = 0;                 // its coefficient
    std::vector<double> vector_coeff;  // phases 1.. one after the other, taps in order
    int history = 0;                   // frames of past input the taps reach back
    std::vector<double> window;        // the last `history` inputs, then room for a block
    std::vector<float> delay;          // the scalar kernel's ring of past inputs
    size_t delay_pos = 0;
    double sample_peak = 0;    // linear
    double acc_max = 0;        // largest |interpolated value| before rounding (vector kernels)
    double true_peak_out = 0;  // largest |interpolated value| after rounding (scalar kernel)
};

// The largest values a meter has seen so far. To read the peak of one
// stretch of input alone: take them (the meter starts again from zero), feed
// the stretch, read it, then put them back (the meter keeps the larger of
// both, exactly what feeding it all at once leaves).
struct true_peak_maxima {
    double sample_peak = 0;
    double acc_max = 0;
    double true_peak_out = 0;
};
true_peak_maxima true_peak_take_maxima(true_peak_meter* tp);
void true_peak_put_back_maxima(true_peak_meter* tp, const true_peak_maxima& kept);

// True when the processor (and system) can run the kernel.
bool true_peak_kernel_available(true_peak_kernel kernel);

// The fastest available kernel.
true_peak_kernel true_peak_best_kernel();

// Prepares a meter for one channel at the given rate, with the best kernel.
// Returns 0, or -22 for a rate of 0 or below.
int true_peak_init(true_peak_meter* tp, int sample_rate);

// The same with a chosen kernel. Returns 0, or -22 for a bad rate or a kernel
// this processor lacks.
int true_peak_init_kernel(true_peak_meter* tp, int sample_rate, true_peak_kernel kernel);

// Feed `frames` samples of one channel, taken every `stride` elements from src
// (the channel's first sample of interleaved frames, and their channel count).
// s16 and s32 samples are read as fractions of 2^15 and 2^31, floats as they are.
void true_peak_add_s16(true_peak_meter* tp, const int16_t* src, size_t frames, size_t stride);
void true_peak_add_s32(true_peak_meter* tp, const int32_t* src, size_t frames, size_t stride);
void true_peak_add_float(true_peak_meter* tp, const float* src, size_t frames, size_t stride);

// The largest |sample| so far, linear (1.0 = full scale): libebur128's sample peak.
double true_peak_sample_peak(const true_peak_meter& tp);

// The larger of the true peak and the sample peak, linear: what libebur128
// reports as the true peak.
double true_peak_true_peak(const true_peak_meter& tp);
