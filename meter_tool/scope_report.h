// lumescope's reports: the text or JSON report of a measurement, the lines
// about samples that were not finite, and the loudness-history picture.
#pragma once

#include <cstdio>
#include <string>

#include "delivery_check.h"
#include "measurement.h"
#include "scope_options.h"

// Writes the report of input `path` to out and flushes it, with the check
// against a delivery target where check is not null. Returns 0, or
// the errno of the write that failed (a full disk, a closed output) or ENOMEM.
int scope_write_report(FILE* out, const char* path, const measurement& m, report_mode mode, bool series,
                       const delivery_spec* check);

// Whether every programme and every track of no programme passes the check.
bool scope_check_passes(const measurement& m, const delivery_spec& check);

// One line on the standard error stream per track whose float samples held
// NaNs or infinities, which every meter took as silence.
void scope_report_non_finite(const measurement& m);

// The loudness-history picture of input `path` as an SVG document: one panel
// per track, or per programme where the track is in one, in stream order.
// Every meter must have kept its series.
std::string scope_plot(const char* path, const measurement& m);
