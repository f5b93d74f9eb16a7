#include "qpm.h"

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

int qpm_process_block4(qpm_meter* const meters[4], const double* x, size_t n, double dt)
{
    for (int k = 0; k < 4; ++k) {
        if (!meters[k])
            return -1;
        if (!qpm_valid_type(meters[k]->type))
            return -22;
    }
    bool peak[4];
    qpm_coeffs q[4];
    double cur[4], max[4];
    for (int k = 0; k < 4; ++k) {
        peak[k] = meters[k]->type == 0;
        q[k] = qpm_coeffs_for(peak[k] ? 5 : meters[k]->type, dt);
        cur[k] = meters[k]->cur;
        max[k] = meters[k]->max;
    }
    for (size_t i = 0; i < n; ++i) {
        const double v = x[i];
        for (int k = 0; k < 4; ++k) {
            if (peak[k]) {
                cur[k] = v < 0 ? -v : v;
                max[k] = cur[k] > max[k] ? cur[k] : max[k];
            } else {
                cur[k] = qpm_step(q[k], cur[k], &max[k], v, dt);
            }
        }
    }
    for (int k = 0; k < 4; ++k) {
        meters[k]->cur = cur[k];
        meters[k]->max = max[k];
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
