// Metering of audio tracks, shared by both programs: per track the EBU R 128
// integrated loudness and loudness range, per channel the sample peak, the true
// peak and four quasi-peak meters (types 0, 5, 10 and 200).
//
// Float samples that are not finite (NaN, infinities) are measured as digital
// silence, 0, by every meter of the track, and counted.
//
// A meter_pool spreads the work of all tracks over threads. Each piece of work
// (a track's loudness, one channel's peaks, a track's quasi-peak meters)
// always runs on one thread and sees its samples in order, so every figure is
// the same for any number of threads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "loudness_meter.h"
#include "qpm.h"
#include "true_peak.h"

// Interleaved sample formats a track can be fed with.
enum track_sample_format {
    TRACK_S16,    // int16_t, full scale 32768 (quasi-peak meters divide by 32767.0)
    TRACK_S32,    // int32_t, full scale 2^31 (quasi-peak meters divide by 2147483647.0)
    TRACK_FLOAT,  // float, full scale 1.0
};

// Bytes of one sample of the format.
size_t track_sample_bytes(track_sample_format format);

// A meter's readings every 100 ms of its audio, kept only when asked for.
// Reading k (k = 1, 2, ...) is taken at the frame boundary nearest to
// k × 100 ms: after the first track_series_mark(s, k) = (k × rate + 5) / 10
// frames, halves rounded up. A track of n frames has the readings whose
// boundary lies within it, (10 n + 4) / rate of them: floor(10 d) for
// d = n / rate seconds, or one more when the last 100 ms mark falls less than
// half a sample after the end. Entry i holds reading i + 1: the momentary and
// short-term loudness of the last momentary_frames and short_term_frames
// frames (libebur128's window readings of 400 ms and 3 s there), and the true
// peak of the frames since reading i. 12 bytes per entry, and room to grow of
// at most a sixteenth of that.
struct track_series {
    uint64_t rate = 0;              // frames per second
    size_t momentary_frames = 0;    // 400 ms: rate × 400 / 1000 frames
    size_t short_term_frames = 0;   // 3 s: 3 × rate frames
    std::vector<float> momentary;   // LUFS, -inf in silence
    std::vector<float> short_term;  // LUFS, -inf in silence
    std::vector<float> true_peak;   // linear, largest of every channel since the reading before
    // The loudness work item appends the loudness readings; each channel's
    // peak item raises the true peaks under the lock, counting its own frames.
    uint64_t loudness_frames = 0;
    // The energies of the last 30 blocks of 100 ms, block i at i % 30: the
    // momentary and short-term loudness are their means over 4 and 30 blocks,
    // which costs one product per sample where reading the 3 s window again
    // every 100 ms would cost thirty. Only where 100 ms is a whole number of
    // frames (the rate a multiple of 10), so that every block is one of the
    // loudness meter's steps; elsewhere the two windows are read at each mark.
    std::array<double, 30> block_energy = {};
    bool from_blocks = false;
    std::vector<uint64_t> peak_frames;  // per channel
    std::vector<double> peak_pending;   // per channel: the largest so far in its current 100 ms
    std::mutex peak_lock;
};

struct track_meter {
    int channels = 0;
    int sample_rate = 0;
    track_sample_format format = TRACK_FLOAT;
    std::unique_ptr<loudness_meter> loudness;  // integrated loudness and loudness range of the track
    std::vector<true_peak_meter> peaks;        // per channel: sample and true peak
    std::vector<std::array<qpm_ptr, 4>> qpm;
    std::unique_ptr<track_series> series;  // null unless track_meter_keep_series was called
    bool qpm_in_loudness = false;          // set by the meter pool: the meters step in the loudness filter's pass
    // Decoded float samples may be NaN or infinite; samples converted from
    // integers never are, and are not looked at for it.
    bool silence_non_finite = false;
    uint64_t non_finite = 0;  // with silence_non_finite: samples that were NaN or infinite, each measured as 0
};

struct channel_figures {
    double sample_peak = 0;  // linear, 1.0 = full scale
    double true_peak = 0;    // linear
    double qpm_db[4] = {};   // held maxima of the meters of types 0, 5, 10, 200, in dB re 1.0
};

struct track_figures {
    double loudness = 0;  // LUFS
    double lra = 0;       // LU
    std::vector<channel_figures> channels;
};

// Prepares a meter for the given channel count and rate. Returns 0, or -22 when
// the loudness meter refuses them (0 or over 64 channels, a rate under 16 Hz
// or over 2,822,400 Hz).
int track_meter_init(track_meter* tm, int channels, int sample_rate, track_sample_format format);

// Prepares a meter of the loudness alone, over all channels together: no peaks
// and no quasi-peak meters, whose figures are then empty. A programme's meter,
// since its peaks are those of its tracks. Returns 0 or -22 like track_meter_init.
int track_meter_init_loudness(track_meter* tm, int channels, int sample_rate, track_sample_format format);

// Makes a prepared meter keep its readings every 100 ms as well (before it is
// fed). The figures stay the same to the bit. Returns 0.
int track_meter_keep_series(track_meter* tm);

// The frames before reading k (k >= 1) of a series: k × 100 ms to the nearest
// frame, halves up.
uint64_t track_series_mark(const track_series& s, uint64_t k);

// How many readings a series has after `frames` frames: the marks within them.
uint64_t track_series_marks_within(const track_series& s, uint64_t frames);

// Reads every figure of a meter that has been fed.
track_figures track_meter_figures(const track_meter& tm);

struct meter_pool;

// Starts a pool over the given tracks (which must outlive it, unmoved) with
// the given number of threads (0: one per core; 1: the caller's thread does all
// the work). Returns 0 or -12 (ENOMEM).
int meter_pool_create(meter_pool** pool, std::vector<track_meter>* tracks, unsigned threads);

// Room for `frames` interleaved frames of track t, in the track's format, to be
// written by the caller before the next call on the pool. Queued samples are
// handed to the threads in large blocks; this call may wait for them. In a
// float track with silence_non_finite, samples that are NaN or infinite become
// 0 there, before any meter sees them, and count in the track's non_finite.
uint8_t* meter_pool_append(meter_pool* pool, size_t t, size_t frames);

// Meters everything appended and stops the threads. Returns 0.
int meter_pool_finish(meter_pool* pool);

// Finishes the pool if needed, frees it and nulls the handle.
void meter_pool_destroy(meter_pool** pool);

struct meter_pool_closer {
    void operator()(meter_pool* p) const { meter_pool_destroy(&p); }
};
// Owning handle of a pool made by meter_pool_create.
using meter_pool_ptr = std::unique_ptr<meter_pool, meter_pool_closer>;
