// In-place loudness normaliser for the PCM tracks of an MXF file.
//
// A run is one context: inplace_norm_create opens the source and selects its
// PCM tracks, inplace_norm_meters_init prepares their meters, inplace_norm_read
// scans every packet once (locating each PCM payload in the file and measuring
// it), inplace_norm_measure_print reports, and inplace_norm_normalize rescales
// the payloads and writes the destination as a byte copy of the source with
// only those payloads replaced. Every function prints its own diagnostics to
// the standard error stream and returns 0 (or a count) on success and a
// negative value (minus an errno value, or an FFmpeg error code) on failure.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "av_ptr.h"
#include "delivery_check.h"
#include "limiter.h"
#include "measurement.h"
#include "packet_table.h"
#include "payload_locator.h"
#include "payload_scale.h"
#include "source_io.h"

struct inplace_norm_ctx {
    std::string path;
    // The demuxer reads the source through this; it outlives the container.
    source_io_ptr io;
    av_format_ptr container;
    // The selected PCM tracks (in ascending stream order) and the programmes
    // asked for, with their meters.
    measurement measured;
    // Per programme: fingerprints of its tracks' payloads as the scan found
    // them, to check them against when the programme is read back.
    std::vector<std::vector<uint64_t>> programme_sums;
    // Where every payload of the selected streams lies in the source, its
    // position corrected to the offset of the payload's first byte (for a
    // D-10 AES3 element, the place of the element's value); sorted by position
    // after the scan. Payloads are read back from the source when the
    // destination is written.
    packet_table packets;
    // Sum of the payload fingerprints per group of 2^payload_group_shift bytes
    // of the source.
    std::vector<uint64_t> payload_sums;
    int64_t overlap_pos = -1;             // start of the first payload overlapping its predecessor
    std::vector<double> gains;            // linear, per track ordinal, as inplace_norm_apply_gain sets them
    double ceiling = NAN;                 // true-peak ceiling in dBTP for the gains; NaN: none
    bool limit = false;                   // a true-peak limiter keeps the peaks at the ceiling instead of a lower gain
    bool meter_result = false;            // meter what the destination holds even without a ceiling
    std::vector<programme_group> groups;  // as given to inplace_norm_set_programmes
    // What the destination holds, metered as it was written (with a ceiling,
    // the limiter or meter_result).
    measurement written;
    // The destination is made as an unnamed file where the file system
    // allows; false takes the named temporary file of other file systems.
    bool unnamed_destination = true;
    // A new destination on the source's file system shares the source's
    // blocks where the file system allows (FICLONE); false copies them.
    bool clone_destination = true;
    bool show_progress = false;  // a progress line on a terminal's standard error
    double media_seconds = 0;    // audio measured by the scan, the longest track's
    int fd = -1;                 // the source, opened read-only as a plain file
};

// Opens and probes the source, refuses anything but MXF (-95), selects the PCM
// tracks and prepares their meters. Returns the number of selected tracks, or
// a negative error. A context is handed out (and must be destroyed) once the
// source has been probed, also when a later step fails.
int inplace_norm_create(inplace_norm_ctx** ctx, const char* path);

// Releases the context and everything it owns; nulls *ctx. Returns 0, or -22
// for a null pointer or handle.
int inplace_norm_destroy(inplace_norm_ctx** ctx);

// Makes sure every selected track has its loudness states and four quasi-peak
// meters per channel. Returns 0.
int inplace_norm_meters_init(inplace_norm_ctx* ctx);
// Releases the meters. Returns 0.
int inplace_norm_meters_free(inplace_norm_ctx* ctx);

// Scans the whole source once: locates every payload of the selected tracks
// and meters its samples. Returns 0, -22 when a payload was not found, or the
// demuxer's error when the source cannot be read to its end.
int inplace_norm_read(inplace_norm_ctx* ctx);

// Figures of the track with the given ordinal, as measured by the scan.
track_figures inplace_norm_figures(const inplace_norm_ctx* ctx, int32_t ordinal);

// Makes the given groups programmes of the context. Every stream a group names
// must be a selected track of the same sample rate as the group's others, and
// no stream may be in two groups. Returns 0, or -22 with *why set to a one-line
// diagnostic (no newline). Before inplace_norm_read.
int inplace_norm_set_programmes(inplace_norm_ctx* ctx, const std::vector<programme_group>& groups, std::string* why);

// Loudness and loudness range of a programme, and its true peak: the largest of
// its channels'.
programme_figures inplace_norm_programme_figures(const inplace_norm_ctx* ctx, size_t p);

// Prints loudness, loudness range and per-channel peaks of every track. Returns 0.
int inplace_norm_measure_print(const inplace_norm_ctx* ctx);

// Sets the linear gain of every track from a table indexed by stream index
// (NaN or infinite factors leave a track's payloads alone). The payloads are
// scaled as inplace_norm_write reads them back. Returns 0.
int inplace_norm_apply_gain(inplace_norm_ctx* ctx, const std::vector<double>& gain);

// The gain of one track or programme: the factor that takes its loudness to
// the target, lowered where a ceiling is set just enough that its true peak
// times the factor stays at the ceiling.
struct gain_choice {
    double loudness = 0;    // measured, LUFS
    double amplify_db = 0;  // target minus loudness
    double factor = 0;      // 10^(amplify_db / 20); not finite without a gated loudness
    double lowered_db = 0;  // what the ceiling took off, 0 when nothing
    double applied = 0;     // the factor to apply
};
// ceiling_dbtp NaN: none; true_peak linear.
gain_choice inplace_norm_choose_gain(double loudness, double true_peak, double target, double ceiling_dbtp);

// What the limiter did to one track or programme.
struct limit_report {
    bool limited = false;         // some of it passed the ceiling
    double raised_db = 0;         // the static gain raised above the plain one
    double reduced_share = 0;     // of its frames, those whose gain the envelope reduces
    double deepest_db = 0;        // the deepest reduction
    double loudness = NAN;        // the limited signal's, as the destination will hold it
    bool reached = true;          // within the search's tolerance of the target
    double missed_peak_db = NAN;  // the true peak of a ceiling no pass held
};

// The most the limiter raises a static gain over the plain one.
inline constexpr double limit_raise_max_db = 6.0;

// A track or programme under the limiter: one static gain and one envelope
// for all its channels.
struct limit_unit {
    std::vector<size_t> tracks;  // ordinals
    limiter_envelope envelope;
    limit_report report;
    double gain = NAN;  // the static gain finally applied
};

// Limits every programme and every track of no programme whose gain (in
// gains, per ordinal) is finite: where the gained signal's true peak would
// pass the ceiling, an envelope lowers the gain around those places, and the
// static gain is raised until the limited signal measures the target within
// 0.05 LU, by limit_raise_max_db at the most: a signal that needs more would
// be crushed, and keeps the largest raise with the target missed (reported).
// A unit that never passes the ceiling keeps its gain as it is.
// Fills units and points each limited track's gain at its unit's envelope.
// Returns 0 or -errno with the diagnostic printed.
int inplace_norm_limit(inplace_norm_ctx* ctx, double target, double ceiling_dbtp, std::vector<track_gain>* gains,
                       std::vector<limit_unit>* units);

// Whether the target gives every track that has a gated loudness (or its
// programme) a finite gain: 9000 LUFS does not.
bool inplace_norm_target_reachable(const inplace_norm_ctx* ctx, double target);

// Computes one gain per track from its integrated loudness (or its programme's)
// and the target in LUFS, lowered to the context's true-peak ceiling when one
// is set, applies it and writes the destination. Returns 0 or minus an errno value.
int inplace_norm_normalize(inplace_norm_ctx* ctx, const char* dst_path, double target);
// inplace_norm_normalize with the target -23 LUFS.
int inplace_norm_normalize_auto(inplace_norm_ctx* ctx, const char* dst_path);

// Writes the destination: the source's bytes with every payload scaled by its
// stream's gain. A regular (or absent) destination is written to a file
// without a name in its folder and linked into place when complete (see
// dst_file.h). Every payload read back
// is checked against the scan's fingerprints. Returns 0 or minus an errno value.
int inplace_norm_write(const inplace_norm_ctx* ctx, const char* dst_path);

// inplace_norm_write with each track's gain, by ordinal, as the destination
// applies it (a static gain, and the limiter's envelope where it has one), and, where
// result is not null (a measurement of the same tracks and programmes), what
// the destination holds metered into it as it is written.
int inplace_norm_write_tracks(const inplace_norm_ctx* ctx, const char* dst_path, const std::vector<track_gain>& gains,
                              measurement* result);

// Prints a check line for every programme and every track of no programme of
// the measurement (the scan's, or what the destination holds) against the
// check target. Returns whether all pass.
bool inplace_norm_check(const measurement& m, const delivery_spec& spec);

// The program: parses the command line, runs one normalisation and returns
// the result whose low eight bits are the exit status.
int lumetrim_main(int argc, char** argv);
