// Tracks' payloads read back from the source after the scan, each track's in
// time order and a little of every track at a time, for a programme's meter,
// the limiter's passes and the metering of what the destination will hold.
// Every payload read is checked against the scan's fingerprints.
#pragma once

#include <cstdint>
#include <vector>

#include "byte_buffer.h"
#include "inplace_norm.h"
#include "payload_scale.h"
#include "programme.h"

struct payload_reader {
    const inplace_norm_ctx* ctx = nullptr;
    std::vector<size_t> tracks;                // ordinals, one per member of the feed
    std::vector<packet_table_reader> readers;  // per member
    std::vector<uint64_t> frames;              // per member: frames read so far
    // Per track ordinal, how the destination scales them: the samples are
    // read as it will hold them. Null: as the source holds them.
    const std::vector<track_gain>* gains = nullptr;
    std::vector<uint64_t> sums;  // fingerprints of the payloads read, per group of the source
    byte_buffer bytes;
    std::vector<float> samples;
    payload_scratch scratch;
};

// Prepares a reader of the given tracks' payloads from the start of the table.
void payload_reader_init(payload_reader* r, const inplace_norm_ctx* ctx, const std::vector<size_t>& tracks,
                         const std::vector<track_gain>* gains);

// Pushes the next payload of member m into the feed as float samples. Returns
// 1, 0 when the track has no more payloads, or -errno with the diagnostic
// printed (a read error, or a source shorter than it was).
int programme_source_read(payload_reader* r, size_t m, programme_feed* feed);

// True when every payload of the readers' tracks was read back as the scan
// found it (call after every track has ended).
bool payload_reader_unchanged(const payload_reader& r, const std::vector<uint64_t>& scan_sums);
