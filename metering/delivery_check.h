// Delivery targets (r128, a85, I:TOL:TP) and the verdict of a track's or programme's
// figures against one: integrated loudness within a tolerance of a target,
// true peak at most a limit.
#pragma once

#include <string>
#include <vector>

struct delivery_spec {
    std::string name;      // as given: "r128", "a85", or "I:TOL:TP"
    double loudness = 0;   // LUFS
    double tolerance = 0;  // LU, either way
    double true_peak = 0;  // dBTP, at most
};

// Parses r128 (EBU R 128: -23.0 LUFS, 0.5 LU, -1.0 dBTP), a85 (ATSC A/85:
// -24.0 LKFS, 2.0 LU, -2.0 dBTP), either in any case, or the three figures written out as
// I:TOL:TP ("-16:1:-1"): finite numbers, the tolerance not below 0. False
// for anything else.
bool delivery_spec_parse(const char* text, delivery_spec* out);

// Every way the figures fail the target, each with the measured value
// and the limit it passes ("loudness -20.12 LUFS above -22.50 LUFS"); none
// when they pass. The figures are compared as the reports print them, to
// two decimals. true_peak is linear.
std::vector<std::string> delivery_check(const delivery_spec& spec, double loudness, double true_peak);

// "pass", or "fail: " and the reasons, as a check line ends.
std::string delivery_verdict(const std::vector<std::string>& reasons);
