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
#include "packet_table.h"
#include "programme.h"
#include "track_meter.h"

// One selected PCM track. Its ordinal is its place in the context's tracks,
// which are in ascending stream order.
struct norm_track {
    int32_t stream = 0;       // container stream index
    int32_t codec_id = 0;     // one of the four PCM codecs
    int32_t channels = 0;
    int32_t sample_rate = 0;
    size_t meter = 0;         // its meter in the context's meters
    double gain = NAN;        // linear gain chosen for it; NaN: none
    int64_t clipped = 0;      // samples that saturated when the destination was written
};

// Tracks measured together, as one multichannel signal: their channels in
// stream order form one programme with one loudness state.
struct norm_programme {
    std::string name;             // the group as written on the command line, "1-2"
    std::vector<size_t> tracks;   // ordinals, ascending
    int32_t channels = 0;         // of all its tracks
    int32_t sample_rate = 0;
    size_t meter = 0;             // its loudness meter in the context's meters
    std::vector<uint64_t> sums;   // fingerprints of its tracks' payloads, as the scan found them
};

// Fingerprints of the payloads are summed per this many bytes of the source,
// so that the destination pass can check what it reads back as it goes.
inline constexpr int payload_group_shift = 26;  // 64 MiB

struct inplace_norm_ctx {
    std::string path;
    av_format_ptr container;
    std::vector<norm_track> tracks;        // the selected tracks, by ordinal
    std::vector<int32_t> track_of_stream;  // ordinal of each stream's track, -1 when not selected
    std::vector<norm_programme> programmes;  // the groups asked for, in the order given
    // The meters the metering threads work on: each track's and each
    // programme's, referred to by index from their records.
    std::vector<track_meter> meters;
    // Where every payload of the selected streams lies in the source, its
    // position corrected to the offset of the payload's first byte (for a
    // D-10 AES3 element, the place of the element's value); sorted by position
    // after the scan. Payloads are read back from the source when the
    // destination is written.
    packet_table packets;
    // Sum of the payload fingerprints (position, size, stream, CRC-32C of the
    // bytes) per group of 2^payload_group_shift bytes of the source.
    std::vector<uint64_t> payload_sums;
    int64_t overlap_pos = -1;  // start of the first payload overlapping its predecessor
    double ceiling = NAN;      // true-peak ceiling in dBTP for the gains; NaN: none
    unsigned threads = 0;      // metering threads; 0: one per core
    // The destination is made as an unnamed file where the file system
    // allows; false takes the named temporary file of other file systems.
    bool unnamed_destination = true;
    // A new destination on the source's file system shares the source's
    // blocks where the file system allows (FICLONE); false copies them.
    bool clone_destination = true;
    bool show_progress = false;  // a progress line on a terminal's standard error
    double media_seconds = 0;    // audio measured by the scan, the longest track's
    // Samples of a programme's tracks that may wait for the other tracks'
    // before the programme's tracks are read back from the file in time order
    // instead: bounds the memory however the file interleaves them.
    size_t programme_queue_bytes = 16 << 20;
    int fd = -1;               // the source, opened read-only as a plain file
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

// Offset, below size / 4, at which the whole payload equals window[offset ..
// offset + size), or -1 when there is none (and always for a payload of fewer
// than 4 bytes). window_len is the number of bytes actually read.
int64_t inplace_norm_locate(const uint8_t* payload, int size, const uint8_t* window, int64_t window_len);

// When the window starts with a KLV key (a SMPTE universal label, 06 0e 2b 34)
// and a BER length, returns the offset of the value and stores its length in
// *length; otherwise returns -1.
int64_t inplace_norm_klv_value(const uint8_t* window, int64_t window_len, uint64_t* length);

// Offset of the payload in a window read from the packet's reported position,
// or -1 when it is not there. A window that starts with a KLV key and a BER
// length has the payload right after that length, whatever the length (the
// file may end inside the value), or, for a piece of essence that merely
// begins like a key, at offset 0; otherwise not at all. Only a window that
// does not start with a key is searched, with inplace_norm_locate.
int64_t inplace_norm_locate_payload(const uint8_t* payload, int size, const uint8_t* window, int64_t window_len);

// For a payload the demuxer converted from a D-10 AES3 element: when the
// window starts with a KLV key of such an element whose value converts
// exactly to the payload for a track of the given channels and PCM codec,
// returns the offset of the value and stores its length in *value_size;
// otherwise returns -1.
int64_t inplace_norm_locate_aes3(const uint8_t* payload, int size, const uint8_t* window, int64_t window_len,
                                 int channels, int codec_id, int32_t* value_size);

// Adds a payload's fingerprint to the sum of its group of the source.
void inplace_norm_add_fingerprint(std::vector<uint64_t>* sums, const payload_place& place, const uint8_t* bytes);

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
int inplace_norm_set_programmes(inplace_norm_ctx* ctx, const std::vector<programme_group>& groups,
                                std::string* why);

// Loudness and loudness range of a programme, and its true peak: the largest of
// its channels'.
struct programme_figures {
    double loudness = 0;   // LUFS
    double lra = 0;        // LU
    double true_peak = 0;  // linear
};
programme_figures inplace_norm_programme_figures(const inplace_norm_ctx* ctx, size_t p);

// Prints loudness, loudness range and per-channel peaks of every track. Returns 0.
int inplace_norm_measure_print(const inplace_norm_ctx* ctx);

// Sets the linear gain of every track from a table indexed by stream index
// (NaN or infinite factors leave a track's payloads alone). The payloads are
// scaled as inplace_norm_write reads them back. Returns 0.
int inplace_norm_apply_gain(inplace_norm_ctx* ctx, const std::vector<double>& gain);

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

// inplace_norm_write with the linear gain of each track given by ordinal
// instead of the tracks' own. Stores the count of clipped samples of each track
// in *clipped when it is not null.
int inplace_norm_write_gains(const inplace_norm_ctx* ctx, const char* dst_path, const std::vector<double>& gains,
                             std::vector<int64_t>* clipped);

// The program: parses the command line, runs one normalisation and returns
// the result whose low eight bits are the exit status.
int lumetrim_main(int argc, char** argv);
