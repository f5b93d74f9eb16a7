// lumescope: measures the loudness of every supported audio track of any input
// FFmpeg can open and prints a text or JSON report on the standard output.
#pragma once

#include <cstddef>
#include <cstdio>

// The program: returns the exit status (0 after a report, 1 on every failure).
int lumescope_main(int argc, char** argv);

// The same with the report written to `out` and the metering spread over
// `threads` threads (0: one per core); the figures do not depend on it. A
// report that cannot be written to `out` and flushed is a failure.
int lumescope_run(int argc, char** argv, FILE* out, unsigned threads);

struct lumescope_settings {
    unsigned threads = 0;  // metering threads, 0: one per core
    // Samples of a programme's tracks that may wait for the other tracks'
    // before the programme's tracks are decoded again side by side instead.
    size_t programme_queue_bytes = 16 << 20;
};

// lumescope_run with every setting given.
int lumescope_run_with(int argc, char** argv, FILE* out, const lumescope_settings& settings);
