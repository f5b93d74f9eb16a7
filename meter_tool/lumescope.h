// lumescope: measures the loudness of every supported audio track of any input
// FFmpeg can open and prints a text or JSON report on the standard output.
#pragma once

// The program: returns the exit status (0 after a report, 1 on every failure).
int lumescope_main(int argc, char** argv);
