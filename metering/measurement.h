// What both programs measure: the selected audio tracks, each with its meter,
// and programmes (tracks measured together as one signal), fed through one
// pool of metering threads, and their figures.
//
// A scan adds its tracks, sets the programmes, starts the measurement, then
// hands over each track's samples as it reads them: measurement_room gives the
// room for them in the track's meter, measurement_commit passes them on to
// the track's programme. A programme whose tracks lie too far apart in the
// input for their samples to wait for each other in memory is switched to
// being read back after the scan (measurement_read_back), from a source of the
// program's own. measurement_finish ends the scan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "programme.h"
#include "track_meter.h"

// One selected audio track. Its ordinal is its place among the measurement's
// tracks, which are in ascending stream order.
struct audio_track {
    int32_t stream = 0;    // container stream index
    int32_t codec_id = 0;  // the stream's codec (FFmpeg's identifier)
    int32_t channels = 0;
    int32_t sample_rate = 0;
    track_sample_format format = TRACK_FLOAT;  // of the samples its meter is fed
    size_t meter = 0;                          // its meter in the measurement's meters
    int programme = -1;                        // the programme it belongs to, if any
    size_t member = 0;                         // its place among that programme's tracks
    uint64_t frames = 0;                       // frames measured so far
    uint64_t largest_piece = 0;                // the most frames handed over at once
    uint64_t short_tail = 0;                   // what the pieces since the largest lack of its size
};

// Tracks measured together: their channels, in stream order, as one signal
// with one loudness meter.
struct audio_programme {
    std::string name;            // the group as written on the command line, "1-2"
    std::vector<size_t> tracks;  // ordinals, ascending
    int32_t channels = 0;        // of all its tracks
    int32_t sample_rate = 0;
    track_sample_format format = TRACK_FLOAT;  // one that all its tracks' samples convert to exactly
    size_t meter = 0;                          // its loudness meter in the measurement's meters
    programme_feed feed;                       // its tracks' samples on their way to its meter
    bool read_back = false;                    // its tracks lie too far apart to be lined up during the scan
};

struct measurement {
    std::vector<audio_track> tracks;
    std::vector<int32_t> track_of_stream;     // ordinal of each stream's track, -1 when not selected
    std::vector<audio_programme> programmes;  // the groups asked for, in the order given
    // Every track's and every programme's meter, referred to by index from
    // their records, as the metering threads work on them.
    std::vector<track_meter> meters;
    // Samples of a programme's tracks that may wait for the other tracks'
    // before the programme is read back instead: bounds the memory however
    // the input interleaves them.
    size_t programme_queue_bytes = 16 << 20;
    unsigned threads = 0;  // metering threads; 0: one per core
    meter_pool_ptr pool;
    uint8_t* room = nullptr;  // the last room handed out by measurement_room
};

// Prepares a measurement of a container with `streams` streams.
void measurement_init(measurement* m, size_t streams);

// Below this rate the K-weighting's high shelf (1681.97 Hz) lies above the
// Nyquist frequency: its filter turns unstable and the loudness it gives
// (+inf, -inf for a tone at -18 dBFS) is no measurement.
inline constexpr int32_t measurement_min_rate = 3364;

// Adds the track of stream `stream` (streams in ascending order) with its
// meter. Returns 0, or -22 when it cannot be measured: no channels, a rate
// below measurement_min_rate, or what the meter refuses (nothing is added).
int measurement_add_track(measurement* m, int32_t stream, int32_t codec_id, int32_t channels, int32_t sample_rate,
                          track_sample_format format);

// Makes the given groups programmes. Every stream a group names must be a
// selected track of the same sample rate as the group's others, and no stream
// may be in two groups. Returns 0, or -22 with *why set to a one-line
// diagnostic (no newline) that names a stream that is not selected as "not a
// selected <kind> track"; nothing is changed then.
int measurement_set_programmes(measurement* m, const std::vector<programme_group>& groups, const char* kind,
                               std::string* why);

// Makes every meter keep its readings every 100 ms as well.
void measurement_keep_series(measurement* m);

// Starts the metering threads. Returns 0 or -12 (ENOMEM).
int measurement_start(measurement* m);

// Room for `frames` interleaved frames of track t, in the track's format, to
// be written before measurement_commit.
uint8_t* measurement_room(measurement* m, size_t t, size_t frames);

// The frames written into the last room are complete: they are metered, and
// lined up with the other tracks of the track's programme.
void measurement_commit(measurement* m, size_t t, size_t frames);

// Meters the rest of programme p from a source of its tracks' samples, a
// little of every track at a time: `programme_source_read(source, member,
// feed)` pushes the next samples of one of its tracks from the beginning
// (those the scan already metered are dropped) and returns 1, 0 when that
// track has ended, or a negative error. Returns 0 or that error.
template <class Source>
int measurement_read_back(measurement* m, size_t p, Source* source);

// Ends the scan: the programmes lined up in memory are metered to their ends
// (tracks that ended early count as silence), and every meter is done.
void measurement_finish(measurement* m);

// Figures of track t.
track_figures measurement_track_figures(const measurement& m, size_t t);

// Loudness and loudness range of a programme, and its true peak: the largest
// of its channels'.
struct programme_figures {
    double loudness = 0;   // LUFS
    double lra = 0;        // LU
    double true_peak = 0;  // linear
};
programme_figures measurement_programme_figures(const measurement& m, size_t p);

// A programme, or a track of no programme, with its figures.
struct measured_unit {
    int programme = -1;  // the programme's index, or -1 for a track on its own
    size_t track = 0;    // the track's ordinal (a programme's first track)
    programme_figures figures;
};

// Every programme and every track of no programme, in stream order (a
// programme where its first track stands).
std::vector<measured_unit> measurement_units(const measurement& m);

// The largest true peak of track t's channels, linear.
double measurement_track_peak(const measurement& m, size_t t);

// Hands the frames every track of programme p has to its meter.
void measurement_flush_programme(measurement* m, size_t p);

template <class Source>
int measurement_read_back(measurement* m, size_t p, Source* source)
{
    audio_programme& prog = m->programmes[p];
    programme_feed_restart(&prog.feed);
    for (int64_t ready; (ready = programme_read_back_round(&prog.feed, source)) != 0;) {
        if (ready < 0)
            return static_cast<int>(ready);
        measurement_flush_programme(m, p);
    }
    return 0;
}
