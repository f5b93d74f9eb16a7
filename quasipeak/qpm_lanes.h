// A channel's four quasi-peak meters as one vector of four doubles, for passes
// that step them along with other work on the same samples. Written with the
// compiler's generic vectors, so that the step compiles to whatever vector
// instructions the calling function is built for (two SSE2 halves, or one AVX
// register) with the same operations lane by lane: every lane does the steps
// of qpm_process_block in its order, and the levels end with the same bits.
// One exception, when the caller flushes results below DBL_MIN to zero (the
// loudness filter's pass does): a level that minutes of digital silence have
// decayed below about 1e-300 stops there instead of decaying on through the
// denormals. Its held maximum keeps its bits, and the level is the same again
// from the first sample that is not zero.
#pragma once

#include <cstdint>
#include <type_traits>

#include "qpm.h"

typedef double qpm_v4 __attribute__((vector_size(32)));
typedef int64_t qpm_mask4 __attribute__((vector_size(32)));

struct qpm_lanes4 {
    qpm_mask4 peak;  // set in the lanes of peak followers (type 0)
    qpm_v4 t1;       // (1 + k) / k
    qpm_v4 rise;     // k / R
    qpm_v4 fall;     // (-dt) / R
    qpm_v4 cur;
    qpm_v4 max;
};

// Loads meters[0..3], one channel's, for samples dt seconds apart. A peak
// follower steps with type 5's constants, then takes the sample instead.
void qpm_lanes4_load(qpm_lanes4* q, qpm_meter* const* meters, double dt);

// Stores the levels back into meters[0..3].
void qpm_lanes4_store(const qpm_lanes4& q, qpm_meter* const* meters);

// One sample v of the channel, dt seconds after the previous one.
[[gnu::always_inline]] inline void qpm_lanes4_step(qpm_lanes4* q, double v, double dt)
{
    const double m = v < 0 ? -v : v;
    const qpm_v4 a = {m, m, m, m};
    const qpm_v4 dtv = {dt, dt, dt, dt};
    const qpm_v4 c = q->cur;
    const qpm_v4 t2 = q->t1 * c;
    const qpm_v4 t3 = a - t2;
    const qpm_v4 t4 = q->rise * t3;
    const qpm_v4 t5 = t4 * dtv;
    const qpm_v4 up = c + t5;
    const qpm_v4 down = c + q->fall * c;
    // a > c, false for a NaN, picks the rise.
    const qpm_v4 step = a > c ? up : down;
    q->cur = q->peak != 0 ? a : step;
    // cur > max ? cur : max: NaN is never taken.
    q->max = q->cur > q->max ? q->cur : q->max;
}

// The meters' reading of a sample: floats as they are, integers divided by
// their largest positive value.
template <typename T>
double qpm_level(T sample)
{
    if constexpr (std::is_same_v<T, int16_t>)
        return static_cast<double>(sample) / 32767.0;
    else if constexpr (std::is_same_v<T, int32_t>)
        return static_cast<double>(sample) / 2147483647.0;
    else
        return static_cast<double>(sample);
}
