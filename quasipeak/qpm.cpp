#include "qpm.h"
#include "qpm_lanes.h"

#include <cmath>

namespace {

// Rise constant k of an integrating meter type, or 0 for a type without one.
double qpm_rise_constant(int32_t type)
{
    switch (type) {
    case 5: return 923.0;
    case 10: return 466.0;
    case 200: return 49.0;
    default: return 0.0;
    }
}

bool qpm_valid_type(int type)
{
    return type == 0 || type == 5 || type == 10 || type == 200;
}

}  // namespace

int qpm_create(qpm_meter** meter, int type)
{
    if (!qpm_valid_type(type))
        return -1;
    *meter = new qpm_meter{type, 0.0, 0.0};
    return 0;
}

int qpm_destroy(qpm_meter** meter)
{
    if (!meter || !*meter)
        return -1;
    delete *meter;
    *meter = nullptr;
    return 0;
}

namespace {

// The constant factors of one meter's steps. Each is the same double that the
// step formula yields when evaluated in full, so computing them once per block
// leaves every result unchanged.
struct qpm_coeffs {
    double t1;    // (1 + k) / k
    double rise;  // k / R
    double fall;  // (-dt) / R
};

qpm_coeffs qpm_coeffs_for(int32_t type, double dt)
{
    const double k = qpm_rise_constant(type);
    return {(1.0 + k) / k, k / QPM_RELEASE_SECONDS, (-dt) / QPM_RELEASE_SECONDS};
}

// One step of an integrating meter from level c with sample x; updates *max.
inline double qpm_step(const qpm_coeffs& q, double c, double* max, double x, double dt)
{
    const double a = x < 0 ? -x : x;
    // Rise when the sample is above the level, fall otherwise (also for a NaN
    // sample, whose comparison is false). Each rise term is a separate double
    // operation, in this order. Both candidates are formed and one is picked,
    // which keeps the loop free of unpredictable branches.
    const double t2 = q.t1 * c;
    const double t3 = a - t2;
    const double t4 = q.rise * t3;
    const double t5 = t4 * dt;
    const double rise = c + t5;
    const double fall = c + q.fall * c;
    const double cur = a > c ? rise : fall;
    *max = cur > *max ? cur : *max;
    return cur;
}

}  // namespace

int qpm_process(qpm_meter* m, double x, double dt)
{
    return qpm_process_block(m, &x, 1, dt);
}

int qpm_process_block(qpm_meter* m, const double* x, size_t n, double dt)
{
    if (!m)
        return -1;
    if (!qpm_valid_type(m->type))
        return -22;
    // The levels stay in locals: the samples could otherwise alias them.
    double cur = m->cur;
    double max = m->max;
    if (m->type == 0) {
        for (size_t i = 0; i < n; ++i) {
            cur = x[i] < 0 ? -x[i] : x[i];
            max = cur > max ? cur : max;
        }
    } else {
        const qpm_coeffs q = qpm_coeffs_for(m->type, dt);
        for (size_t i = 0; i < n; ++i)
            cur = qpm_step(q, cur, &max, x[i], dt);
    }
    m->cur = cur;
    m->max = max;
    return 0;
}

namespace {

// G channels' meters (4 each, one qpm_lanes4 per channel, loaded by the
// caller) over n frames of x, `stride` values apart. Every lane does the
// operations of qpm_step (or of the peak follower) in the same order, so the
// levels are those of qpm_process_block; masks pick the lanes' results without
// branches, which the signal would make unpredictable.
template <int G>
[[gnu::always_inline]] inline void qpm_run_lanes(qpm_lanes4* lanes, const double* x, size_t stride, size_t n, double dt)
{
    qpm_lanes4 q[G];
    for (int j = 0; j < G; ++j)
        q[j] = lanes[j];
    for (size_t i = 0; i < n; ++i) {
        const double* const frame = x + i * stride;
#pragma GCC unroll 4
        for (int j = 0; j < G; ++j)
            qpm_lanes4_step(&q[j], frame[j], dt);
    }
    for (int j = 0; j < G; ++j)
        lanes[j] = q[j];
}

// The pass for the baseline processor: each vector of four in two SSE2 halves.
template <int G>
[[gnu::noinline]] void qpm_run_group(qpm_lanes4* lanes, const double* x, size_t stride, size_t n, double dt)
{
    qpm_run_lanes<G>(lanes, x, stride, n, dt);
}

// The same with AVX2: a channel's four meters in one register, and blends for
// the choices, which shortens each step's chain of dependent operations. It
// calls nothing, so the compiler clears the vector registers' upper halves on
// leaving it, which code without AVX after it needs to run at full speed.
template <int G>
[[gnu::noinline]] __attribute__((target("avx2"))) void qpm_run_group_avx2(qpm_lanes4* lanes, const double* x,
                                                                          size_t stride, size_t n, double dt)
{
    qpm_run_lanes<G>(lanes, x, stride, n, dt);
}

// G channels' meters with the AVX2 pass where the processor has it.
template <int G>
void qpm_run_channels(bool avx2, qpm_meter* const* meters, const double* x, size_t stride, size_t n, double dt)
{
    qpm_lanes4 q[G];
    for (int j = 0; j < G; ++j)
        qpm_lanes4_load(&q[j], meters + 4 * j, dt);
    if (avx2)
        qpm_run_group_avx2<G>(q, x, stride, n, dt);
    else
        qpm_run_group<G>(q, x, stride, n, dt);
    for (int j = 0; j < G; ++j)
        qpm_lanes4_store(q[j], meters + 4 * j);
}

int qpm_check(qpm_meter* const* meters, size_t count)
{
    for (size_t k = 0; k < count; ++k) {
        if (!meters[k])
            return -1;
        if (!qpm_valid_type(meters[k]->type))
            return -22;
    }
    return 0;
}

}  // namespace

// A peak follower (type 0) steps with type 5's constants, then takes the
// sample instead.
void qpm_lanes4_load(qpm_lanes4* q, qpm_meter* const* meters, double dt)
{
    for (int l = 0; l < 4; ++l) {
        const qpm_meter* m = meters[l];
        const qpm_coeffs c = qpm_coeffs_for(m->type == 0 ? 5 : m->type, dt);
        q->peak[l] = m->type == 0 ? -1 : 0;
        q->t1[l] = c.t1;
        q->rise[l] = c.rise;
        q->fall[l] = c.fall;
        q->cur[l] = m->cur;
        q->max[l] = m->max;
    }
}

void qpm_lanes4_store(const qpm_lanes4& q, qpm_meter* const* meters)
{
    for (int l = 0; l < 4; ++l) {
        meters[l]->cur = q.cur[l];
        meters[l]->max = q.max[l];
    }
}

int qpm_process_block4(qpm_meter* const meters[4], const double* x, size_t n, double dt)
{
    if (const int err = qpm_check(meters, 4))
        return err;
    qpm_run_channels<1>(false, meters, x, 1, n, dt);
    return 0;
}

int qpm_process_frames(qpm_meter* const* meters, size_t channels, const double* x, size_t n, double dt)
{
    if (const int err = qpm_check(meters, 4 * channels))
        return err;
    // One channel's steps form a chain of dependent operations that keeps the
    // processor waiting; several chains side by side fill those waits.
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2");
    size_t c = 0;
    for (; c + 4 <= channels; c += 4)
        qpm_run_channels<4>(avx2, meters + 4 * c, x + c, channels, n, dt);
    switch (channels - c) {
    case 3: qpm_run_channels<3>(avx2, meters + 4 * c, x + c, channels, n, dt); break;
    case 2: qpm_run_channels<2>(avx2, meters + 4 * c, x + c, channels, n, dt); break;
    case 1: qpm_run_channels<1>(avx2, meters + 4 * c, x + c, channels, n, dt); break;
    default: break;
    }
    return 0;
}

double qpm_ratio_to_db(double ratio)
{
    return static_cast<double>(logf(static_cast<float>(ratio))) * QPM_DB_FACTOR;
}

int qpm_get_max_db(const qpm_meter* m, double* db, double ref)
{
    if (!m)
        return -1;
    *db = qpm_ratio_to_db(m->max / ref);
    return 0;
}

int qpm_get_cur_db(const qpm_meter* m, double* db, double ref)
{
    if (!m)
        return -1;
    *db = qpm_ratio_to_db(m->cur / ref);
    return 0;
}

int qpm_get_max(const qpm_meter* m, double* value)
{
    if (!m)
        return -1;
    *value = m->max;
    return 0;
}

int qpm_get_cur(const qpm_meter* m, double* value)
{
    if (!m)
        return -1;
    *value = m->cur;
    return 0;
}
