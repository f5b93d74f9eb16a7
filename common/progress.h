// A single self-updating progress line for people at a terminal: percent of
// the input read, speed as a multiple of real time, time left. It is shown
// only when its stream is a terminal, so pipes, files and scripts never see it,
// and it is erased before anything else is printed.
#pragma once

#include <chrono>
#include <cstdio>

struct progress_line {
    FILE* stream = nullptr;  // null: disabled
    const char* label = "";
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point last;
    bool shown = false;
};

// Enables the line on `stream` when it is a terminal.
void progress_init(progress_line* p, FILE* stream, const char* label);

// Reports how far the work is: fraction of the input done (0 to 1, or below 0
// when unknown) and the seconds of audio measured so far. Redraws at most a
// few times a second.
void progress_update(progress_line* p, double fraction, double media_seconds);

// Erases the line, if shown, so that the next output starts on a clean line.
void progress_clear(progress_line* p);
