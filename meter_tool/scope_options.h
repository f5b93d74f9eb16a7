// lumescope's command line.
#pragma once

#include <string>

enum class report_mode { text, json };

struct scope_options {
    report_mode mode = report_mode::text;
    const char* path = nullptr;       // the input as given ("-": the standard input)
    const char* groups = nullptr;     // -p: programme groups, as written
    const char* plot_path = nullptr;  // --plot: the picture's file
    bool series = false;              // --series: readings every 100 ms in the JSON report
    bool version = false;             // --version alone
    const char* check = nullptr;      // --check: a delivery target, as written
};

// What the command line asks for: 0 with *opts filled, 1 when the usage text
// is to be shown (a wrong or missing argument, -h or --help), or 2 when it is
// refused with the one-line diagnostic *why before the usage text.
int scope_options_parse(int argc, char** argv, scope_options* opts, std::string* why);

// The usage text, on the standard error stream.
void scope_options_usage();

// The URL FFmpeg is to open for the input as given: "-" is the standard input.
std::string scope_options_url(const scope_options& opts);
