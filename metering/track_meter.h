// Metering of audio tracks, shared by both programs: per track the EBU R 128
// integrated loudness and loudness range, per channel the sample peak, the true
// peak and four quasi-peak meters (types 0, 5, 10 and 200).
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
#include <vector>

#include <ebur128.h>

#include "qpm.h"
#include "true_peak.h"

struct ebur128_destroyer {
    void operator()(ebur128_state* st) const { ebur128_destroy(&st); }
};
using ebur128_ptr = std::unique_ptr<ebur128_state, ebur128_destroyer>;

// Interleaved sample formats a track can be fed with.
enum track_sample_format {
    TRACK_S16,    // int16_t, full scale 32768 (quasi-peak meters divide by 32767.0)
    TRACK_S32,    // int32_t, full scale 2^31 (quasi-peak meters divide by 2147483647.0)
    TRACK_FLOAT,  // float, full scale 1.0
};

// Bytes of one sample of the format.
size_t track_sample_bytes(track_sample_format format);

struct track_meter {
    int channels = 0;
    int sample_rate = 0;
    track_sample_format format = TRACK_FLOAT;
    ebur128_ptr loudness;                // integrated loudness and loudness range of the track
    std::vector<true_peak_meter> peaks;  // per channel: sample and true peak
    std::vector<std::array<qpm_ptr, 4>> qpm;
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
// the loudness library refuses them (0 channels, an unsupported rate).
int track_meter_init(track_meter* tm, int channels, int sample_rate, track_sample_format format);

// Prepares a meter of the loudness alone, over all channels together: no peaks
// and no quasi-peak meters, whose figures are then empty. A programme's meter,
// since its peaks are those of its tracks. Returns 0 or -22 like track_meter_init.
int track_meter_init_loudness(track_meter* tm, int channels, int sample_rate, track_sample_format format);

// Reads every figure of a meter that has been fed.
track_figures track_meter_figures(const track_meter& tm);

struct meter_pool;

// Starts a pool over the given tracks (which must outlive it, unmoved) with
// the given number of threads (0: one per core; 1: the caller's thread does all
// the work). Returns 0 or -12 (ENOMEM).
int meter_pool_create(meter_pool** pool, std::vector<track_meter>* tracks, unsigned threads);

// Room for `frames` interleaved frames of track t, in the track's format, to be
// written by the caller before the next call on the pool. Queued samples are
// handed to the threads in large blocks; this call may wait for them.
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
