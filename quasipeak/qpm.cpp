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

int qpm_process(qpm_meter* m, double x, double dt)
{
    if (!m)
        return -1;
    if (!qpm_valid_type(m->type))
        return -22;
    const double a = x < 0 ? -x : x;
    if (m->type == 0) {
        m->cur = a;
        if (a > m->max)
            m->max = a;
        return 0;
    }
    const double k = qpm_rise_constant(m->type);
    const double c = m->cur;
    if (a > c) {
        // Each step is a separate double operation, in this order, so the
        // result does not depend on how the compiler would group them.
        const double t1 = (1.0 + k) / k;
        const double t2 = t1 * c;
        const double t3 = a - t2;
        const double t4 = (k / QPM_RELEASE_SECONDS) * t3;
        const double t5 = t4 * dt;
        m->cur = c + t5;
    } else {
        // Also taken for a NaN sample, whose comparison above is false.
        m->cur = c + ((-dt) / QPM_RELEASE_SECONDS) * c;
    }
    if (m->cur > m->max)
        m->max = m->cur;
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
