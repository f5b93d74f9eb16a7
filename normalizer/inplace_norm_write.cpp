// The destination pass. Only the payloads go through this process: each is
// read back from the source, checked against the scan's fingerprints, scaled
// and written at its place. Everything else reaches the destination without
// being read here: shared with the source where the file system clones files
// (XFS with reflink, Btrfs), copied inside the kernel elsewhere.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "aes3_element.h"
#include "byte_buffer.h"
#include "dst_file.h"
#include "file_io.h"
#include "inplace_norm.h"
#include "payload_reader.h"
#include "payload_scale.h"
#include "pcm_codec.h"
#include "progress.h"

namespace {

// Payloads with at most a block between them are read and written as one run:
// a KLV key and length, a fill item that pads an element to the file's
// alignment (FFmpeg pads each to 512 bytes) or any small element, whose bytes
// go back unchanged. A call per payload would cost more than those bytes, and
// on a shared file system their blocks are the payloads' own. Anything larger
// between two (a video element) is never read.
constexpr int64_t run_gap_bytes = 4096;
// A run stops growing at this size, unless one payload alone is larger.
constexpr int64_t run_max_bytes = 4 << 20;
// Bytes copied through this process where the kernel cannot copy.
constexpr size_t copy_buffer_bytes = 1 << 20;
// A new file's blocks are sent to the disk every this many bytes of it, so
// that the final flush has little left to wait for.
constexpr int64_t writeback_bytes = 8 << 20;

enum class copy_fault { none, source, changed, destination, reported };

struct copy_state {
    const inplace_norm_ctx* ctx;
    const std::vector<track_gain>* gains;  // per track ordinal
    measurement* result;                   // meters what the destination holds, or null
    payload_scratch scratch;
    std::vector<int64_t> clipped;  // per track ordinal
    std::vector<uint64_t> frames;  // per track ordinal: frames passed so far
    std::vector<uint64_t> sums;    // fingerprints of what was read back, per group
    size_t checked_groups = 0;     // groups below this one have been compared
};

// The groups of payloads below group `upto` are complete: compare them with
// the scan's sums.
bool copy_check_groups(copy_state* cs, size_t upto)
{
    const auto& expected = cs->ctx->payload_sums;
    for (; cs->checked_groups < upto; ++cs->checked_groups) {
        const uint64_t want = cs->checked_groups < expected.size() ? expected[cs->checked_groups] : 0;
        const uint64_t got = cs->checked_groups < cs->sums.size() ? cs->sums[cs->checked_groups] : 0;
        if (want != got)
            return false;
    }
    return true;
}

// Checks one payload read back from the source and scales it in place, and
// meters what it now holds. Returns whether its bytes changed.
bool copy_payload(copy_state* cs, const payload_place& p, uint8_t* bytes)
{
    inplace_norm_add_fingerprint(&cs->sums, p, bytes);

    const size_t s = static_cast<size_t>(p.stream);
    const auto& lookup = cs->ctx->measured.track_of_stream;
    if (s >= lookup.size() || lookup[s] < 0 || static_cast<size_t>(lookup[s]) >= cs->gains->size())
        return false;
    const size_t t = static_cast<size_t>(lookup[s]);
    const track_gain& g = (*cs->gains)[t];
    const audio_track& track = cs->ctx->measured.tracks[t];
    cs->clipped[t] += payload_scale(bytes, p, track, g, cs->frames[t], &cs->scratch);
    const size_t frames = payload_frames(p, track, bytes);
    cs->frames[t] += frames;
    if (cs->result) {
        payload_decode(bytes, p, track, reinterpret_cast<float*>(measurement_room(cs->result, t, frames)));
        measurement_commit(cs->result, t, frames);
    }
    // A factor of exactly 1 gives every sample back as it was.
    return std::isfinite(g.gain) && (g.gain != 1.0 || g.envelope);
}

// Payloads close together in the source, in file order.
struct payload_run {
    int64_t start = 0;
    int64_t end = 0;
    std::vector<payload_place> payloads;
};

// Where the payload table is read from, a run at a time.
struct run_reader {
    packet_table_reader table;
    payload_place next;
    bool have = false;  // next is a payload still to come
};

run_reader run_reader_begin(const inplace_norm_ctx* ctx)
{
    run_reader r;
    r.table = packet_table_begin(ctx->packets);
    r.have = packet_table_next(&r.table, &r.next);
    return r;
}

// The next run of payloads, or false when there is none.
bool run_reader_next(run_reader* r, payload_run* run)
{
    if (!r->have)
        return false;
    run->payloads.clear();
    run->start = r->next.pos;
    run->end = r->next.pos;
    do {
        run->payloads.push_back(r->next);
        run->end = r->next.pos + r->next.size;
        r->have = packet_table_next(&r->table, &r->next);
    } while (r->have && r->next.pos - run->end <= run_gap_bytes &&
             r->next.pos + r->next.size - run->start <= run_max_bytes);
    return true;
}

// Reads a run back from the source into buf, checks and scales its payloads.
// Returns 1 when any of its bytes changed, 0 when none did, or -errno with
// *fault set.
int copy_run(copy_state* cs, const payload_run& run, const run_reader& after, byte_buffer* buf, copy_fault* fault)
{
    const size_t len = static_cast<size_t>(run.end - run.start);
    buf->resize(len);
    const int64_t got = file_read_at(cs->ctx->fd, buf->data(), static_cast<int64_t>(len), run.start);
    if (got < 0) {
        *fault = copy_fault::source;
        return static_cast<int>(got);
    }
    if (static_cast<size_t>(got) < len) {
        // The source no longer holds the payloads the scan found.
        *fault = copy_fault::changed;
        return -EIO;
    }
    bool changed = false;
    for (size_t i = 0; i < run.payloads.size(); ++i) {
        const payload_place& p = run.payloads[i];
        changed = copy_payload(cs, p, buf->data() + (p.pos - run.start)) || changed;
        // Once the next payload lies in a later group, this one's is complete.
        const int64_t next = i + 1 < run.payloads.size() ? run.payloads[i + 1].pos : after.have ? after.next.pos : -1;
        if (next >= 0 && !copy_check_groups(cs, static_cast<size_t>(next >> payload_group_shift))) {
            *fault = copy_fault::changed;
            return -EIO;
        }
    }
    return changed ? 1 : 0;
}

// Where the destination's writing stands.
struct dst_writer {
    int fd = -1;
    bool cloned = false;     // fd holds the source's bytes already: only changed runs are written
    bool in_kernel = true;   // the kernel can copy between source and destination
    bool writeback = false;  // a new file: its blocks are sent to the disk as they are written
    int64_t pos = 0;         // bytes of the destination written (cloned: up to the end of the last changed run)
    int64_t flushed = 0;     // bytes sent to the disk
    byte_buffer copy_buf;
};

// Sends the destination's written blocks to the disk once enough wait.
void dst_writer_writeback(dst_writer* w, bool all)
{
    if (!w->writeback || (w->pos - w->flushed < writeback_bytes && !all))
        return;
    sync_file_range(w->fd, w->flushed, w->pos - w->flushed, SYNC_FILE_RANGE_WRITE);
    w->flushed = w->pos;
}

// Copies the source from where the destination stands up to `to` (to the end
// of the source with -1). Returns the bytes copied or -errno with *fault set.
int64_t dst_writer_copy_to(dst_writer* w, int src_fd, int64_t to, copy_fault* fault)
{
    int64_t offset = w->pos;
    const int64_t len = to < 0 ? INT64_MAX - offset : to - offset;
    bool write_failed = false;
    // The buffer is made only once the kernel has declined to copy.
    int64_t done = file_copy(src_fd, &offset, w->fd, w->in_kernel ? len : 0, &w->in_kernel, nullptr, 0, &write_failed);
    if (done >= 0 && !w->in_kernel) {
        w->copy_buf.resize(copy_buffer_bytes);
        const int64_t rest = file_copy(src_fd, &offset, w->fd, len - done, &w->in_kernel, w->copy_buf.data(),
                                       w->copy_buf.size(), &write_failed);
        done = rest < 0 ? rest : done + rest;
    }
    if (done < 0) {
        *fault = write_failed ? copy_fault::destination : copy_fault::source;
        return done;
    }
    w->pos = offset;
    dst_writer_writeback(w, false);
    return done;
}

// Copies the whole source to the destination, payloads scaled. Returns 0 or
// -errno with *fault telling whose the failure was.
int copy_source(copy_state* cs, dst_writer* w, copy_fault* fault)
{
    const inplace_norm_ctx* ctx = cs->ctx;
    progress_line progress;
    progress_init(&progress, ctx->show_progress ? stderr : nullptr, "Writing");
    struct stat st;
    const double total = fstat(ctx->fd, &st) == 0 && st.st_size > 0 ? static_cast<double>(st.st_size) : -1;
    run_reader reader = run_reader_begin(ctx);
    payload_run run;
    byte_buffer buf;
    for (;;) {
        const bool more = run_reader_next(&reader, &run);
        if (!w->cloned) {
            const int64_t to = more ? run.start : -1;
            const int64_t copied = dst_writer_copy_to(w, ctx->fd, to, fault);
            if (copied < 0) {
                progress_clear(&progress);
                return static_cast<int>(copied);
            }
            if (more && w->pos < to) {
                *fault = copy_fault::changed;
                progress_clear(&progress);
                return -EIO;
            }
        }
        if (!more)
            break;
        const int changed = copy_run(cs, run, reader, &buf, fault);
        if (changed < 0) {
            progress_clear(&progress);
            return changed;
        }
        int err = 0;
        if (!w->cloned) {
            err = file_write_all(w->fd, buf.data(), buf.size());
            w->pos += static_cast<int64_t>(buf.size());
            dst_writer_writeback(w, false);
        } else if (changed) {
            err = file_write_at(w->fd, buf.data(), buf.size(), run.start);
            w->pos = run.end;
            dst_writer_writeback(w, false);
        }
        if (err != 0) {
            *fault = copy_fault::destination;
            progress_clear(&progress);
            return err;
        }
        const double done = total > 0 ? static_cast<double>(run.end) / total : -1;
        progress_update(&progress, done, done > 0 ? done * ctx->media_seconds : 0);
    }
    dst_writer_writeback(w, true);
    progress_clear(&progress);
    if (!copy_check_groups(cs, std::max(ctx->payload_sums.size(), cs->sums.size()))) {
        *fault = copy_fault::changed;
        return -EIO;
    }
    return 0;
}

int write_failed(const char* path, int err)
{
    fprintf(stderr, "Failed to write %s: %s\n", path, strerror(-err));
    return err;
}

// Meters the programmes of what the destination holds whose tracks lie too
// far apart to be lined up as they were written: read back from the source
// and scaled again as the destination holds them. Returns 0 or -errno.
int write_result_read_back(const inplace_norm_ctx* ctx, const std::vector<track_gain>& gains, measurement* result)
{
    for (size_t p = 0; p < result->programmes.size(); ++p) {
        if (!result->programmes[p].read_back)
            continue;
        payload_reader reader;
        payload_reader_init(&reader, ctx, result->programmes[p].tracks, &gains);
        if (const int err = measurement_read_back(result, p, &reader); err != 0)
            return err;
    }
    measurement_finish(result);
    return 0;
}

}  // namespace

int inplace_norm_write(const inplace_norm_ctx* ctx, const char* dst_path)
{
    // Tracks without a gain of their own stay as they are.
    std::vector<track_gain> tracks(ctx->measured.tracks.size());
    for (size_t t = 0; t < tracks.size() && t < ctx->gains.size(); ++t)
        tracks[t].gain = ctx->gains[t];
    return inplace_norm_write_tracks(ctx, dst_path, tracks, nullptr);
}

int inplace_norm_write_tracks(const inplace_norm_ctx* ctx, const char* dst_path, const std::vector<track_gain>& gains,
                              measurement* result)
{
    // Payloads that share bytes cannot both be rewritten; refuse before
    // anything is written.
    if (ctx->overlap_pos >= 0) {
        fprintf(stderr, "Overlapping PCM payloads at offset %" PRId64 " in %s\n", ctx->overlap_pos, ctx->path.c_str());
        return -EINVAL;
    }
    dst_file dst;
    if (const int err = dst_open(dst_path, ctx->unnamed_destination, &dst); err != 0)
        return write_failed(dst_path, err);
    const size_t tracks = ctx->measured.tracks.size();
    copy_state cs{ctx, &gains, result, {}, std::vector<int64_t>(tracks), std::vector<uint64_t>(tracks), {}, 0};
    if (result && measurement_start(result) != 0) {
        dst_discard(&dst);
        return write_failed(dst_path, -ENOMEM);
    }
    copy_fault fault = copy_fault::none;
    dst_writer w;
    w.fd = dst.fd;
    const bool new_file = dst.unnamed || !dst.tmp_path.empty();
    w.writeback = new_file;
    // A new file on the source's file system can share all of its blocks:
    // only the blocks of the changed payloads then take new space.
    file_share_setting sharing;
    if (new_file && ctx->clone_destination && file_clone(dst.fd, ctx->fd) == 0) {
        w.cloned = true;
        sharing = file_share_finely(dst.fd);
    }
    int err = copy_source(&cs, &w, &fault);
    file_share_restore(dst.fd, sharing);
    if (err == 0 && result && (err = write_result_read_back(ctx, gains, result)) != 0)
        fault = copy_fault::reported;
    if (err == 0) {
        for (size_t t = 0; t < ctx->measured.tracks.size(); ++t)
            if (cs.clipped[t] > 0)
                fprintf(stderr, "clipped amp[%d]=%" PRId64 " samples\n", ctx->measured.tracks[t].stream, cs.clipped[t]);
        err = dst_commit(&dst);
    }
    if (err == 0)
        return 0;
    dst_discard(&dst);
    switch (fault) {
    case copy_fault::source: fprintf(stderr, "Failed to read %s: %s\n", ctx->path.c_str(), strerror(-err)); return err;
    case copy_fault::changed:
        fprintf(stderr, "Failed to read %s: the file changed during the run\n", ctx->path.c_str());
        return err;
    case copy_fault::reported: return err;
    default: return write_failed(dst_path, err);
    }
}
