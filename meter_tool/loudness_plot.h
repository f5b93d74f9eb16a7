// The loudness history of an input as a self-contained SVG picture: one panel
// per track or programme with its short-term loudness as a line and its
// momentary loudness as a lighter band, the -23 LUFS target with its ±1 LU
// tolerance, the integrated loudness, and the stretches whose true peak passes
// -1 dBTP marked on the time axis.
//
// The series are reduced to at most a minimum and a maximum per horizontal
// pixel, so the picture's size does not grow with the input's duration.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

struct plot_panel {
    std::string name;      // "idx #1", "programme 1-2"
    double loudness = 0;   // integrated, LUFS
    double lra = 0;        // LU
    double true_peak = 0;  // largest, linear
    // One entry per 100 ms, entry i being the reading at (i + 1) × 100 ms.
    std::span<const float> momentary;   // LUFS, -inf in silence
    std::span<const float> short_term;  // LUFS, -inf in silence
    std::span<const float> true_peaks;  // linear
};

// The whole SVG document for the panels, titled with the file name.
std::string loudness_plot_svg(std::string_view file_name, const std::vector<plot_panel>& panels);

// Text as XML character data or attribute value: markup characters as
// entities; control characters, which XML cannot hold, and bytes that are not
// UTF-8 as U+FFFD.
std::string loudness_plot_escape(std::string_view text);

// A time as h:mm:ss.
std::string loudness_plot_time(double seconds);
