#include "payload_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "file_io.h"

void payload_reader_init(payload_reader* r, const inplace_norm_ctx* ctx, const std::vector<size_t>& tracks,
                         const std::vector<track_gain>* gains)
{
    r->ctx = ctx;
    r->tracks = tracks;
    r->readers.assign(tracks.size(), packet_table_begin(ctx->packets));
    r->frames.assign(tracks.size(), 0);
    r->gains = gains;
    r->sums.clear();
}

int programme_source_read(payload_reader* r, size_t m, programme_feed* feed)
{
    const inplace_norm_ctx* ctx = r->ctx;
    const size_t t = r->tracks[m];
    const audio_track& track = ctx->measured.tracks[t];
    payload_place place;
    do {
        if (!packet_table_next(&r->readers[m], &place))
            return 0;
    } while (place.stream != track.stream);
    r->bytes.resize(static_cast<size_t>(place.size));
    const int64_t got = file_read_at(ctx->fd, r->bytes.data(), place.size, place.pos);
    if (got < 0) {
        fprintf(stderr, "Failed to read %s: %s\n", ctx->path.c_str(), strerror(static_cast<int>(-got)));
        return static_cast<int>(got);
    }
    if (got < place.size) {
        fprintf(stderr, "Failed to read %s: the file changed during the run\n", ctx->path.c_str());
        return -EIO;
    }
    payload_sums_add(&r->sums, place.pos, payload_fingerprint(place, r->bytes.data()));
    if (r->gains)
        payload_scale(r->bytes.data(), place, track, (*r->gains)[t], r->frames[m], &r->scratch);
    r->samples.resize(payload_frames(place, track, r->bytes.data()) * static_cast<size_t>(track.channels));
    const size_t frames = payload_decode(r->bytes.data(), place, track, r->samples.data());
    r->frames[m] += frames;
    programme_feed_push(feed, m, reinterpret_cast<const uint8_t*>(r->samples.data()), frames);
    return 1;
}

bool payload_reader_unchanged(const payload_reader& r, const std::vector<uint64_t>& scan_sums)
{
    std::vector<uint64_t> a = r.sums, b = scan_sums;
    a.resize(std::max(a.size(), b.size()), 0);
    b.resize(a.size(), 0);
    return a == b;
}
