#include "true_peak.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

#include <xmmintrin.h>

#include "full_scale.h"

namespace {

// libebur128's interpolator: 49 taps, coefficients of magnitude 1e-6 or less dropped.
constexpr int interp_taps = 49;
constexpr double interp_almost_zero = 0.000001;
// Input frames converted and filtered at a time: the block and its history stay in the L1 cache.
constexpr size_t block_frames = 2048;

// Each coefficient as libebur128 computes it, with the same operations in the
// same order (and the same libm), so that every bit agrees.
void true_peak_make_filter(true_peak_meter* tp)
{
    const unsigned taps = interp_taps;
    const unsigned factor = static_cast<unsigned>(tp->factor);
    tp->coeff.assign(factor, {});
    tp->index.assign(factor, {});
    for (unsigned j = 0; j < taps; ++j) {
        double c = 1.0;
        const double m = static_cast<double>(j) - static_cast<double>(taps - 1) / 2.0;
        if (std::fabs(m) > interp_almost_zero)
            c = std::sin(m * M_PI / factor) / (m * M_PI / factor);
        c *= 0.5 * (1 - std::cos(2 * M_PI * j / (taps - 1)));
        if (std::fabs(c) > interp_almost_zero) {
            tp->coeff[j % factor].push_back(c);
            tp->index[j % factor].push_back(static_cast<int>(j / factor));
        }
    }
    tp->delay.assign((taps + factor - 1) / factor, 0.0f);
    tp->delay_pos = 0;

    int history = 0;
    for (const auto& idx : tp->index)
        for (int i : idx)
            history = std::max(history, i);
    tp->history = history;
    tp->window.assign(static_cast<size_t>(history) + block_frames, 0.0);

    // The shape the vector kernels are written for.
    bool regular = tp->index[0].size() == 1;
    const size_t taps_per_phase = factor > 1 ? tp->index[1].size() : 0;
    for (unsigned p = 1; p < factor; ++p) {
        regular = regular && tp->index[p].size() == taps_per_phase;
        for (size_t t = 0; regular && t < tp->index[p].size(); ++t)
            regular = tp->index[p][t] == static_cast<int>(t);
    }
    const bool expected = (factor == 4 && taps_per_phase == 12) || (factor == 2 && taps_per_phase == 24);
    if (!regular || !expected) {
        tp->kernel = TRUE_PEAK_SCALAR;
        return;
    }
    tp->taps = static_cast<int>(taps_per_phase);
    tp->delay0 = tp->index[0][0];
    tp->coeff0 = tp->coeff[0][0];
    tp->vector_coeff.clear();
    for (unsigned p = 1; p < factor; ++p)
        tp->vector_coeff.insert(tp->vector_coeff.end(), tp->coeff[p].begin(), tp->coeff[p].end());
}

// libebur128's interpolator loop as it is: a ring of floats, each output
// summed in double and rounded to float while the processor flushes results
// below FLT_MIN to zero, as libebur128 has it do while filtering.
void true_peak_scalar(true_peak_meter* tp, const double* x, size_t n)
{
    const unsigned int mxcsr = _mm_getcsr();
    _mm_setcsr(mxcsr | _MM_FLUSH_ZERO_ON);
    const int len = static_cast<int>(tp->delay.size());
    for (size_t s = 0; s < n; ++s) {
        tp->delay[tp->delay_pos] = static_cast<float>(x[s]);
        for (size_t f = 0; f < tp->coeff.size(); ++f) {
            double acc = 0.0;
            for (size_t t = 0; t < tp->coeff[f].size(); ++t) {
                int i = static_cast<int>(tp->delay_pos) - tp->index[f][t];
                if (i < 0)
                    i += len;
                acc += static_cast<double>(tp->delay[static_cast<size_t>(i)]) * tp->coeff[f][t];
            }
            const auto out = static_cast<double>(static_cast<float>(acc));
            const double mag = out > -out ? out : -out;
            if (mag > tp->true_peak_out)
                tp->true_peak_out = mag;
        }
        if (++tp->delay_pos == tp->delay.size())
            tp->delay_pos = 0;
    }
    _mm_setcsr(mxcsr);
}

template <int W>
struct true_peak_vec {
    typedef double type __attribute__((vector_size(W * sizeof(double))));
};

// Through a pointer: vectors passed by value would change the calling
// convention between kernels of different instruction sets.
template <typename V>
inline void true_peak_load(V* v, const double* p)
{
    std::memcpy(v, p, sizeof *v);
}

// The interpolator over n frames of x (x[-history..-1] the frames before),
// W consecutive output frames per vector and GROUP vectors at a time so that
// their sums overlap in the processor. Every lane multiplies and adds exactly
// as the scalar loop does, in the same order; only the rounding to float is
// left out, because it is monotone: the largest magnitude of the sums, rounded
// once at the end, is the largest magnitude of the rounded outputs. A NaN sum
// never replaces the maximum, as in libebur128's comparison.
// Returns that largest magnitude (0 when there are none).
template <int W, int TAPS, int PHASES, int GROUP>
[[gnu::always_inline]] inline double true_peak_block(const double* x, size_t n, const double* c, int delay0,
                                                     double coeff0)
{
    using V = typename true_peak_vec<W>::type;
    V hi = {};
    V lo = {};
    size_t i = 0;
    for (; i + GROUP * W <= n; i += GROUP * W) {
        const double* const xi = x + i;
        V acc[GROUP][PHASES];
#pragma GCC unroll 8
        for (int g = 0; g < GROUP; ++g) {
            V v;
            true_peak_load(&v, xi + g * W);
#pragma GCC unroll 8
            for (int p = 0; p < PHASES; ++p)
                acc[g][p] = v * c[p * TAPS];
        }
#pragma GCC unroll 24
        for (int t = 1; t < TAPS; ++t)
#pragma GCC unroll 8
            for (int g = 0; g < GROUP; ++g) {
                V v;
                true_peak_load(&v, xi + (g * W - t));
#pragma GCC unroll 8
                for (int p = 0; p < PHASES; ++p)
                    acc[g][p] = acc[g][p] + v * c[p * TAPS + t];
            }
#pragma GCC unroll 8
        for (int g = 0; g < GROUP; ++g) {
            V v;
            true_peak_load(&v, xi + (g * W - delay0));
            v = v * coeff0;
            hi = v > hi ? v : hi;
            lo = v < lo ? v : lo;
#pragma GCC unroll 8
            for (int p = 0; p < PHASES; ++p) {
                hi = acc[g][p] > hi ? acc[g][p] : hi;
                lo = acc[g][p] < lo ? acc[g][p] : lo;
            }
        }
    }
    double m = 0;
    for (int l = 0; l < W; ++l) {
        m = hi[l] > m ? hi[l] : m;
        m = -lo[l] > m ? -lo[l] : m;
    }
    for (; i < n; ++i) {
        const double* const xi = x + i;
        const double v0 = xi[-delay0] * coeff0;
        const double a0 = v0 > -v0 ? v0 : -v0;
        m = a0 > m ? a0 : m;
        for (int p = 0; p < PHASES; ++p) {
            double acc = xi[0] * c[p * TAPS];
            for (int t = 1; t < TAPS; ++t)
                acc = acc + xi[-t] * c[p * TAPS + t];
            const double a = acc > -acc ? acc : -acc;
            m = a > m ? a : m;
        }
    }
    return m;
}

// x86-64 always has SSE2.
double true_peak_sse2_x4(const double* x, size_t n, const double* c, int d0, double c0)
{
    return true_peak_block<2, 12, 3, 2>(x, n, c, d0, c0);
}
double true_peak_sse2_x2(const double* x, size_t n, const double* c, int d0, double c0)
{
    return true_peak_block<2, 24, 1, 4>(x, n, c, d0, c0);
}
__attribute__((target("avx2"))) double true_peak_avx2_x4(const double* x, size_t n, const double* c, int d0, double c0)
{
    return true_peak_block<4, 12, 3, 2>(x, n, c, d0, c0);
}
__attribute__((target("avx2"))) double true_peak_avx2_x2(const double* x, size_t n, const double* c, int d0, double c0)
{
    return true_peak_block<4, 24, 1, 4>(x, n, c, d0, c0);
}
__attribute__((target("avx512f"))) double true_peak_avx512_x4(const double* x, size_t n, const double* c, int d0,
                                                              double c0)
{
    return true_peak_block<8, 12, 3, 3>(x, n, c, d0, c0);
}
__attribute__((target("avx512f"))) double true_peak_avx512_x2(const double* x, size_t n, const double* c, int d0,
                                                              double c0)
{
    return true_peak_block<8, 24, 1, 4>(x, n, c, d0, c0);
}

// Filters the n frames in the window after its history.
void true_peak_filter(true_peak_meter* tp, size_t n)
{
    const double* x = tp->window.data() + tp->history;
    const double* c = tp->vector_coeff.data();
    const bool x4 = tp->factor == 4;
    double m = 0;
    switch (tp->kernel) {
    case TRUE_PEAK_SCALAR: true_peak_scalar(tp, x, n); return;
    case TRUE_PEAK_SSE2:
        m = x4 ? true_peak_sse2_x4(x, n, c, tp->delay0, tp->coeff0)
               : true_peak_sse2_x2(x, n, c, tp->delay0, tp->coeff0);
        break;
    case TRUE_PEAK_AVX2:
        m = x4 ? true_peak_avx2_x4(x, n, c, tp->delay0, tp->coeff0)
               : true_peak_avx2_x2(x, n, c, tp->delay0, tp->coeff0);
        break;
    case TRUE_PEAK_AVX512:
        m = x4 ? true_peak_avx512_x4(x, n, c, tp->delay0, tp->coeff0)
               : true_peak_avx512_x2(x, n, c, tp->delay0, tp->coeff0);
        break;
    }
    if (m > tp->acc_max)
        tp->acc_max = m;
}

template <typename T>
void true_peak_add(true_peak_meter* tp, const T* src, size_t frames, size_t stride)
{
    constexpr double scale = sample_full_scale<T>();
    // Like libebur128, the largest magnitude in the input's units, scaled once per call.
    double raw_max = 0.0;
    if (tp->factor == 1) {
        for (size_t s = 0; s < frames; ++s) {
            const auto v = static_cast<double>(src[s * stride]);
            const double mag = v > -v ? v : -v;
            raw_max = mag > raw_max ? mag : raw_max;
        }
    }
    const size_t h = static_cast<size_t>(tp->history);
    while (tp->factor > 1 && frames > 0) {
        const size_t n = std::min(frames, block_frames);
        double* x = tp->window.data() + h;
        for (size_t s = 0; s < n; ++s) {
            const auto v = static_cast<double>(src[s * stride]);
            const double mag = v > -v ? v : -v;
            raw_max = mag > raw_max ? mag : raw_max;
            // The interpolator's input is stored as float.
            x[s] = static_cast<double>(static_cast<float>(v / scale));
        }
        true_peak_filter(tp, n);
        std::memmove(tp->window.data(), tp->window.data() + n, h * sizeof(double));
        src += n * stride;
        frames -= n;
    }
    raw_max /= scale;
    if (raw_max > tp->sample_peak)
        tp->sample_peak = raw_max;
}

}  // namespace

bool true_peak_kernel_available(true_peak_kernel kernel)
{
    __builtin_cpu_init();
    switch (kernel) {
    case TRUE_PEAK_SCALAR:
    case TRUE_PEAK_SSE2: return true;
    case TRUE_PEAK_AVX2: return __builtin_cpu_supports("avx2");
    case TRUE_PEAK_AVX512: return __builtin_cpu_supports("avx512f");
    }
    return false;
}

true_peak_kernel true_peak_best_kernel()
{
    for (true_peak_kernel k : {TRUE_PEAK_AVX512, TRUE_PEAK_AVX2})
        if (true_peak_kernel_available(k))
            return k;
    return TRUE_PEAK_SSE2;
}

int true_peak_init(true_peak_meter* tp, int sample_rate)
{
    return true_peak_init_kernel(tp, sample_rate, true_peak_best_kernel());
}

int true_peak_init_kernel(true_peak_meter* tp, int sample_rate, true_peak_kernel kernel)
{
    if (sample_rate <= 0 || !true_peak_kernel_available(kernel))
        return -22;
    *tp = true_peak_meter{};
    tp->kernel = kernel;
    // libebur128's choice of oversampling.
    tp->factor = sample_rate < 96000 ? 4 : sample_rate < 192000 ? 2 : 1;
    if (tp->factor > 1)
        true_peak_make_filter(tp);
    return 0;
}

void true_peak_add_s16(true_peak_meter* tp, const int16_t* src, size_t frames, size_t stride)
{
    true_peak_add(tp, src, frames, stride);
}

void true_peak_add_s32(true_peak_meter* tp, const int32_t* src, size_t frames, size_t stride)
{
    true_peak_add(tp, src, frames, stride);
}

void true_peak_add_float(true_peak_meter* tp, const float* src, size_t frames, size_t stride)
{
    true_peak_add(tp, src, frames, stride);
}

double true_peak_sample_peak(const true_peak_meter& tp)
{
    return tp.sample_peak;
}

double true_peak_true_peak(const true_peak_meter& tp)
{
    double peak = tp.true_peak_out;
    if (tp.kernel != TRUE_PEAK_SCALAR) {
        // The one rounding to float the vector kernels left out, with results
        // below FLT_MIN flushed to zero as the processor does for libebur128.
        const float out = static_cast<float>(tp.acc_max);
        peak = std::fabs(out) < FLT_MIN ? 0.0 : static_cast<double>(out);
    }
    return peak > tp.sample_peak ? peak : tp.sample_peak;
}

true_peak_maxima true_peak_take_maxima(true_peak_meter* tp)
{
    const true_peak_maxima kept{tp->sample_peak, tp->acc_max, tp->true_peak_out};
    tp->sample_peak = tp->acc_max = tp->true_peak_out = 0;
    return kept;
}

void true_peak_put_back_maxima(true_peak_meter* tp, const true_peak_maxima& kept)
{
    tp->sample_peak = std::max(kept.sample_peak, tp->sample_peak);
    tp->acc_max = std::max(kept.acc_max, tp->acc_max);
    tp->true_peak_out = std::max(kept.true_peak_out, tp->true_peak_out);
}
