// Helpers for end-to-end tests: running the programs and ffmpeg, generating
// media in a scratch folder, reading files back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct run_result {
    int status = -1;  // exit status, or -1 when the process did not exit normally
    std::string out;
    std::string err;
    long max_rss_kib = 0;  // peak resident memory, from run_program only
};

// Runs a shell command, capturing its standard output and error.
run_result run(const std::string& command);

// Runs a program directly (no shell) with a time limit. status is the exit
// status, -1 when a signal killed it, -2 when it ran out of time and was killed.
run_result run_program(const std::vector<std::string>& argv, int seconds);

// Quotes a string for the shell.
std::string sh(const std::string& word);

// A fresh scratch folder for one test binary, removed at exit.
const std::string& scratch_dir();

// Runs ffmpeg with the given arguments (quiet, bit-exact) writing path;
// fails the current test when it does not succeed.
void make_media(const std::string& path, const std::string& args);

// Runs a GStreamer pipeline ending in an MXF muxer named mux writing path:
// `sources` links the muxer's inputs (GStreamer's muxer, unlike FFmpeg's,
// lets tracks end at different times). Fails the current test when it does
// not succeed.
void make_gst_mxf(const std::string& path, const std::string& sources);

std::vector<uint8_t> read_file(const std::string& path);
std::vector<std::string> split_lines(const std::string& text);

// Integrated loudness, loudness range and true peak (dBFS) of one audio stream
// of a file, as FFmpeg's ebur128 filter measures them.
struct ffmpeg_loudness {
    double integrated = 0, lra = 0, true_peak = 0;
};
ffmpeg_loudness ffmpeg_measure(const std::string& path, int audio_stream = 0);

// Bytes a program moved through read and write calls (read, pread, readv and
// their kin; write, pwrite, writev and theirs), all threads, counted by strace;
// `counted` is false where strace cannot trace (no ptrace allowed).
struct io_bytes {
    bool counted = false;
    int status = -1;
    int64_t read = 0;
    int64_t written = 0;
};
io_bytes count_io(const std::vector<std::string>& argv);

// (pos, size) of every packet of the stream, in demux order.
struct packet_place {
    int stream = 0;
    int64_t pos = 0;
    int64_t size = 0;
    std::string hash;
};
std::vector<packet_place> probe_packets(const std::string& path);

// Stream indexes of the audio streams of a file, as ffprobe sees them.
std::vector<int> audio_streams(const std::string& path);

// The promise of every normalisation: the destination has the source's length,
// re-demuxes to the same (stream, position, size) list, and differs from the
// source only inside the sample bytes of audio packets, which are the value of
// the KLV triplet at each audio packet's position (it must hold exactly that
// packet, or, where the file ends inside the value, what is left of it). Fails the current test otherwise; returns the
// number of bytes that differ.
size_t expect_only_samples_changed(const std::string& src, const std::string& dst);
