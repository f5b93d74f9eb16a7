// Quasi-peak level meter: follows the rectified signal with a fast rise and a
// slow fall and holds the highest level reached. Type 0 is a plain sample-peak
// follower; types 5, 10 and 200 are integrating meters that differ only in
// their rise constant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// Release time constant in seconds: the single-precision value of 1.15.
inline constexpr double QPM_RELEASE_SECONDS = static_cast<double>(1.15f);
// 20 / ln 10 rounded to single precision; turns a natural log into decibels.
inline constexpr double QPM_DB_FACTOR = static_cast<double>(8.685889638f);

struct qpm_meter {
    int32_t type;  // 0, 5, 10 or 200
    double cur;    // current level, linear, 1.0 = full scale
    double max;    // highest value cur has taken
};

// Allocates a meter of the given type (0, 5, 10 or 200) with both levels 0.
// Returns 0, or -1 for any other type (the handle is then left untouched).
int qpm_create(qpm_meter** meter, int type);

// Frees the meter and nulls the handle. Returns 0, or -1 when meter or *meter is null.
int qpm_destroy(qpm_meter** meter);

// Feeds one sample x (linear) taken dt seconds after the previous one.
// Returns 0, -1 for a null meter, -22 for a meter of unknown type (left unchanged).
int qpm_process(qpm_meter* meter, double x, double dt);

// Feeds n samples, each dt seconds after the previous one; the levels end
// exactly as after n calls of qpm_process. Returns 0, -1 or -22 like it.
int qpm_process_block(qpm_meter* meter, const double* x, size_t n, double dt);

// Feeds the same n samples to four meters, as qpm_process_block on each, but
// in one pass whose four independent steps per sample can overlap in the
// processor. Returns 0, -1 for a null meter or -22 for an unknown type (and
// then changes no meter).
int qpm_process_block4(qpm_meter* const meters[4], const double* x, size_t n, double dt);

// Feeds n interleaved frames of `channels` channels to four meters per channel
// (meters[4 * c + i] is meter i of channel c): each channel's meters end exactly
// as after qpm_process_block4 on that channel's samples (for a NaN dt the
// levels are NaN, of either sign). The steps of up to
// four channels are interleaved, which lets them overlap in the processor.
// Returns 0, -1 for a null meter or -22 for an unknown type (and then changes
// no meter).
int qpm_process_frames(qpm_meter* const* meters, size_t channels, const double* x, size_t n, double dt);

// Held maximum / current level in dB relative to ref (minus infinity for 0).
// Return 0, or -1 for a null meter.
int qpm_get_max_db(const qpm_meter* meter, double* db, double ref);
int qpm_get_cur_db(const qpm_meter* meter, double* db, double ref);

// Held maximum / current level, linear. Return 0, or -1 for a null meter.
int qpm_get_max(const qpm_meter* meter, double* value);
int qpm_get_cur(const qpm_meter* meter, double* value);

// The decibel conversion used for every dBFS figure the programs print:
// single-precision natural log of the ratio, widened, times QPM_DB_FACTOR.
double qpm_ratio_to_db(double ratio);

struct qpm_deleter {
    void operator()(qpm_meter* m) const { qpm_destroy(&m); }
};
// Owning handle of a meter made by qpm_create.
using qpm_ptr = std::unique_ptr<qpm_meter, qpm_deleter>;
