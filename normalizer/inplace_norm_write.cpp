// The destination pass: one sequential read of the source in large blocks, in
// which every payload is checked against the scan's fingerprints and scaled in
// place, and one sequential write of the destination.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "aes3_element.h"
#include "byte_buffer.h"
#include "dst_file.h"
#include "file_io.h"
#include "inplace_norm.h"
#include "pcm_codec.h"
#include "progress.h"

namespace {

constexpr size_t copy_block_bytes = 1 << 20;

enum class copy_fault { none, source, changed, destination };

struct copy_state {
    const inplace_norm_ctx* ctx;
    const std::vector<double>* gains;    // linear, per track ordinal
    std::vector<float> samples;
    std::vector<int64_t> clipped;        // per track ordinal
    std::vector<uint64_t> sums;          // fingerprints of what was read back, per group
    size_t checked_groups = 0;           // groups below this one have been compared
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

// Checks one payload read back from the source and scales it in place.
void copy_payload(copy_state* cs, const payload_place& p, uint8_t* bytes)
{
    inplace_norm_add_fingerprint(&cs->sums, p, bytes);

    const size_t s = static_cast<size_t>(p.stream);
    const auto& lookup = cs->ctx->track_of_stream;
    if (s >= lookup.size() || lookup[s] < 0 || static_cast<size_t>(lookup[s]) >= cs->gains->size())
        return;
    const size_t t = static_cast<size_t>(lookup[s]);
    const double g = (*cs->gains)[t];
    if (!std::isfinite(g))
        return;
    const int codec = cs->ctx->tracks[t].codec_id;
    if (p.aes3_element) {
        cs->clipped[t] += aes3_apply_gain(bytes, p.size, cs->ctx->tracks[t].channels, codec, g, &cs->samples);
        return;
    }
    cs->clipped[t] += pcm_apply_gain(bytes, p.size, codec, g, &cs->samples);
}

// Blocks of the destination on their way from the reading thread to the
// writing one, and the spare buffers going back.
struct block_queue {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<byte_buffer> ready;  // each holds exactly the bytes to write
    std::vector<byte_buffer> spare;
    bool done = false;       // the reader has queued its last block
    bool cancelled = false;  // the writer has given up
};

// Where the reading of the source stands between two blocks.
struct block_reader {
    packet_table_reader table;
    payload_place cur;
    bool have = false;          // cur is a payload still to come
    int64_t base = 0;           // file offset of the next block's first byte
    byte_buffer carry; // the start of a payload that ran past the last block
    bool at_end = false;        // the source has been read to its end
};

block_reader block_reader_begin(const inplace_norm_ctx* ctx)
{
    block_reader br;
    br.table = packet_table_begin(ctx->packets);
    br.have = packet_table_next(&br.table, &br.cur);
    return br;
}

// Reads the next block of the source into buf (whose capacity is the block
// size), checks and scales every payload that ends inside it, and leaves in
// buf exactly the bytes to write. Returns 0 or -errno with *fault set.
int block_reader_next(copy_state* cs, block_reader* br, byte_buffer* buf, copy_fault* fault)
{
    const inplace_norm_ctx* ctx = cs->ctx;
    buf->resize(buf->capacity());
    if (!br->carry.empty())
        std::memcpy(buf->data(), br->carry.data(), br->carry.size());
    size_t len = br->carry.size();
    const int64_t want = static_cast<int64_t>(buf->size() - len);
    const int64_t got = file_read_at(ctx->fd, buf->data() + len, want, br->base + static_cast<int64_t>(len));
    if (got < 0) {
        *fault = copy_fault::source;
        return static_cast<int>(got);
    }
    len += static_cast<size_t>(got);
    br->at_end = got < want;
    const int64_t end = br->base + static_cast<int64_t>(len);
    while (br->have && br->cur.pos + br->cur.size <= end) {
        copy_payload(cs, br->cur, buf->data() + (br->cur.pos - br->base));
        br->have = packet_table_next(&br->table, &br->cur);
        if (br->have && !copy_check_groups(cs, static_cast<size_t>(br->cur.pos >> payload_group_shift))) {
            *fault = copy_fault::changed;
            return -EIO;
        }
    }
    // A payload that runs past the block goes with the next one.
    const int64_t flush_to = br->have && br->cur.pos < end ? br->cur.pos : end;
    const size_t flush = static_cast<size_t>(flush_to - br->base);
    br->carry.assign(buf->begin() + static_cast<ptrdiff_t>(flush), buf->begin() + static_cast<ptrdiff_t>(len));
    buf->resize(flush);
    br->base = flush_to;
    if (br->at_end && (br->have || !copy_check_groups(cs, std::max(ctx->payload_sums.size(), cs->sums.size())))) {
        // The source no longer holds the payloads the scan found.
        *fault = copy_fault::changed;
        return -EIO;
    }
    return 0;
}

// Reads the source block by block for the writer. Returns 0 or -errno with
// *fault set.
int read_blocks(copy_state* cs, block_queue* q, copy_fault* fault)
{
    block_reader br = block_reader_begin(cs->ctx);
    while (!br.at_end) {
        byte_buffer buf;
        {
            std::unique_lock lock(q->mutex);
            q->changed.wait(lock, [&] { return !q->spare.empty() || q->cancelled; });
            if (q->cancelled)
                return 0;
            buf = std::move(q->spare.back());
            q->spare.pop_back();
        }
        if (const int err = block_reader_next(cs, &br, &buf, fault); err != 0)
            return err;
        {
            std::lock_guard lock(q->mutex);
            q->ready.push_back(std::move(buf));
        }
        q->changed.notify_all();
    }
    return 0;
}

// Writes one block of the destination. Returns 0 or -errno.
int write_block(int dst_fd, const byte_buffer& buf, int64_t* written, bool start_writeback)
{
    const int err = file_write_all(dst_fd, buf.data(), buf.size());
    // Start writing this block to disk now, so that the final flush of a new
    // file has little left to wait for.
    if (err == 0 && start_writeback && !buf.empty())
        sync_file_range(dst_fd, *written, static_cast<off_t>(buf.size()), SYNC_FILE_RANGE_WRITE);
    *written += static_cast<int64_t>(buf.size());
    return err;
}

// Copies the whole source to dst_fd in the calling thread alone, for when no
// reading thread can be started.
int copy_source_alone(copy_state* cs, size_t capacity, int dst_fd, bool start_writeback, copy_fault* fault)
{
    block_reader br = block_reader_begin(cs->ctx);
    byte_buffer buf;
    buf.reserve(capacity);
    int64_t written = 0;
    while (!br.at_end) {
        if (const int err = block_reader_next(cs, &br, &buf, fault); err != 0)
            return err;
        if (const int err = write_block(dst_fd, buf, &written, start_writeback); err != 0) {
            *fault = copy_fault::destination;
            return err;
        }
    }
    return 0;
}

// Copies the whole source to dst_fd, payloads scaled: one thread reads and
// scales while this one writes. Returns 0 or -errno with *fault telling whose
// the failure was.
int copy_source(copy_state* cs, int dst_fd, bool start_writeback, copy_fault* fault)
{
    block_queue q;
    // Room for a whole payload beside a block's worth of other bytes.
    const size_t capacity = std::max(copy_block_bytes, 2 * static_cast<size_t>(cs->ctx->packets.max_size));
    for (int i = 0; i < 3; ++i) {
        q.spare.emplace_back();
        q.spare.back().reserve(capacity);
    }
    copy_fault read_fault = copy_fault::none;
    int read_err = 0;
    std::thread reader;
    try {
        reader = std::thread([&] {
            read_err = read_blocks(cs, &q, &read_fault);
            {
                std::lock_guard lock(q.mutex);
                q.done = true;
            }
            q.changed.notify_all();
        });
    } catch (const std::system_error&) {
        // No thread to be had (a process limit): do it all here instead.
        return copy_source_alone(cs, capacity, dst_fd, start_writeback, fault);
    }
    progress_line progress;
    progress_init(&progress, cs->ctx->show_progress ? stderr : nullptr, "Writing");
    struct stat st;
    const double total = fstat(cs->ctx->fd, &st) == 0 && st.st_size > 0 ? static_cast<double>(st.st_size) : -1;
    int write_err = 0;
    int64_t written = 0;
    for (;;) {
        byte_buffer buf;
        {
            std::unique_lock lock(q.mutex);
            q.changed.wait(lock, [&] { return !q.ready.empty() || q.done; });
            if (q.ready.empty())
                break;
            buf = std::move(q.ready.front());
            q.ready.pop_front();
        }
        write_err = write_block(dst_fd, buf, &written, start_writeback);
        const double done = total > 0 ? static_cast<double>(written) / total : -1;
        progress_update(&progress, done, done > 0 ? done * cs->ctx->media_seconds : 0);
        {
            std::lock_guard lock(q.mutex);
            q.spare.push_back(std::move(buf));
            q.cancelled = write_err != 0;
        }
        q.changed.notify_all();
        if (write_err != 0)
            break;
    }
    reader.join();
    progress_clear(&progress);
    if (write_err != 0) {
        *fault = copy_fault::destination;
        return write_err;
    }
    *fault = read_fault;
    return read_err;
}

int write_failed(const char* path, int err)
{
    fprintf(stderr, "Failed to write %s: %s\n", path, strerror(-err));
    return err;
}

}  // namespace

int inplace_norm_write(const inplace_norm_ctx* ctx, const char* dst_path)
{
    std::vector<double> gains;
    for (const norm_track& t : ctx->tracks)
        gains.push_back(t.gain);
    return inplace_norm_write_gains(ctx, dst_path, gains, nullptr);
}

int inplace_norm_write_gains(const inplace_norm_ctx* ctx, const char* dst_path, const std::vector<double>& gains,
                             std::vector<int64_t>* clipped)
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
    copy_state cs{ctx, &gains, {}, std::vector<int64_t>(ctx->tracks.size()), {}, 0};
    copy_fault fault = copy_fault::none;
    const bool new_file = dst.unnamed || !dst.tmp_path.empty();
    int err = copy_source(&cs, dst.fd, new_file, &fault);
    if (err == 0) {
        for (size_t t = 0; t < ctx->tracks.size(); ++t)
            if (cs.clipped[t] > 0)
                fprintf(stderr, "clipped amp[%d]=%" PRId64 " samples\n", ctx->tracks[t].stream, cs.clipped[t]);
        if (clipped)
            *clipped = cs.clipped;
        err = dst_commit(&dst);
    }
    if (err == 0)
        return 0;
    dst_discard(&dst);
    switch (fault) {
    case copy_fault::source:
        fprintf(stderr, "Failed to read %s: %s\n", ctx->path.c_str(), strerror(-err));
        return err;
    case copy_fault::changed:
        fprintf(stderr, "Failed to read %s: the file changed during the run\n", ctx->path.c_str());
        return err;
    default:
        return write_failed(dst_path, err);
    }
}
