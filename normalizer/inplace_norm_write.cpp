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
#include <thread>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "aes3_element.h"
#include "file_io.h"
#include "inplace_norm.h"
#include "pcm_codec.h"
#include "progress.h"

namespace {

constexpr size_t copy_block_bytes = 1 << 20;

// Where the destination's bytes go while it is written.
struct dst_file {
    int fd = -1;
    std::string tmp_path;  // empty when the destination is written directly
    mode_t mode = 0;       // permission bits the renamed file gets
};

int dst_open(const char* path, dst_file* out)
{
    struct stat st;
    const bool exists = stat(path, &st) == 0;
    if (!exists && errno != ENOENT)
        return -errno;
    if (exists && !S_ISREG(st.st_mode)) {
        // A device or a pipe: written as it is.
        out->fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
        return out->fd < 0 ? -errno : 0;
    }
    if (exists) {
        out->mode = st.st_mode & 07777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        out->mode = 0666 & ~mask;
    }
    const std::string p(path);
    const size_t slash = p.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : p.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? p : p.substr(slash + 1);
    out->tmp_path = dir + "." + base + ".XXXXXX";
    out->fd = mkstemp(out->tmp_path.data());
    if (out->fd < 0) {
        out->tmp_path.clear();
        return -errno;
    }
    return 0;
}

// Makes the written destination permanent: flushes a temporary file to disk,
// gives it its mode and renames it into place. Returns 0 or -errno.
int dst_commit(dst_file* dst, const char* path)
{
    int err = 0;
    if (!dst->tmp_path.empty() && (fchmod(dst->fd, dst->mode) != 0 || fsync(dst->fd) != 0))
        err = -errno;
    if (close(dst->fd) != 0 && err == 0)
        err = -errno;
    dst->fd = -1;
    if (err == 0 && !dst->tmp_path.empty()) {
        if (rename(dst->tmp_path.c_str(), path) != 0)
            err = -errno;
        else
            dst->tmp_path.clear();
    }
    return err;
}

void dst_discard(dst_file* dst)
{
    if (dst->fd >= 0)
        close(dst->fd);
    if (!dst->tmp_path.empty())
        unlink(dst->tmp_path.c_str());
}

enum class copy_fault { none, source, changed, destination };

struct copy_state {
    const inplace_norm_ctx* ctx;
    std::vector<float> samples;
    std::vector<int64_t> clipped;        // per stream index
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

    const auto& gain = cs->ctx->gain;
    const size_t s = static_cast<size_t>(p.stream);
    if (s >= gain.size() || !std::isfinite(gain[s]))
        return;
    const double g = gain[s];
    const int codec = cs->ctx->slots[s].codec_id;
    if (p.aes3_element) {
        cs->clipped[s] += aes3_apply_gain(bytes, p.size, cs->ctx->slots[s].channels, codec, g, &cs->samples);
        return;
    }
    if (cs->samples.size() < static_cast<size_t>(p.size))
        cs->samples.resize(static_cast<size_t>(p.size));
    const int n = pcm_to_float(cs->samples.data(), bytes, p.size, codec);
    for (int i = 0; i < n; ++i) {
        float& x = cs->samples[static_cast<size_t>(i)];
        x = static_cast<float>(static_cast<double>(x) * g);
    }
    cs->clipped[s] += float_to_pcm(cs->samples.data(), bytes, p.size, codec);
}

// Blocks of the destination on their way from the reading thread to the
// writing one, and the spare buffers going back.
struct block_queue {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::vector<uint8_t>> ready;  // each holds exactly the bytes to write
    std::vector<std::vector<uint8_t>> spare;
    bool done = false;       // the reader has queued its last block
    bool cancelled = false;  // the writer has given up
};

// Reads the source block by block, checking and scaling every payload, and
// queues the bytes for the writer. Returns 0 or -errno with *fault set.
int read_blocks(copy_state* cs, block_queue* q, copy_fault* fault)
{
    const inplace_norm_ctx* ctx = cs->ctx;
    packet_table_reader reader = packet_table_begin(ctx->packets);
    payload_place cur;
    bool have = packet_table_next(&reader, &cur);
    int64_t base = 0;               // file offset of the block's first byte
    std::vector<uint8_t> carry;     // the start of a payload that ran past the last block
    for (bool at_end = false; !at_end;) {
        std::vector<uint8_t> buf;
        {
            std::unique_lock lock(q->mutex);
            q->changed.wait(lock, [&] { return !q->spare.empty() || q->cancelled; });
            if (q->cancelled)
                return 0;
            buf = std::move(q->spare.back());
            q->spare.pop_back();
        }
        buf.resize(buf.capacity());
        if (!carry.empty())
            std::memcpy(buf.data(), carry.data(), carry.size());
        size_t len = carry.size();
        const int64_t want = static_cast<int64_t>(buf.size() - len);
        const int64_t got = file_read_at(ctx->fd, buf.data() + len, want, base + static_cast<int64_t>(len));
        if (got < 0) {
            *fault = copy_fault::source;
            return static_cast<int>(got);
        }
        len += static_cast<size_t>(got);
        at_end = got < want;
        const int64_t end = base + static_cast<int64_t>(len);
        while (have && cur.pos + cur.size <= end) {
            copy_payload(cs, cur, buf.data() + (cur.pos - base));
            have = packet_table_next(&reader, &cur);
            if (have && !copy_check_groups(cs, static_cast<size_t>(cur.pos >> payload_group_shift))) {
                *fault = copy_fault::changed;
                return -EIO;
            }
        }
        // A payload that runs past the block goes with the next one.
        const int64_t flush_to = have && cur.pos < end ? cur.pos : end;
        const size_t flush = static_cast<size_t>(flush_to - base);
        carry.assign(buf.begin() + static_cast<ptrdiff_t>(flush), buf.begin() + static_cast<ptrdiff_t>(len));
        buf.resize(flush);
        base = flush_to;
        {
            std::lock_guard lock(q->mutex);
            q->ready.push_back(std::move(buf));
        }
        q->changed.notify_all();
    }
    if (have || !copy_check_groups(cs, std::max(ctx->payload_sums.size(), cs->sums.size()))) {
        // The source no longer holds the payloads the scan found.
        *fault = copy_fault::changed;
        return -EIO;
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
    std::thread reader([&] {
        read_err = read_blocks(cs, &q, &read_fault);
        {
            std::lock_guard lock(q.mutex);
            q.done = true;
        }
        q.changed.notify_all();
    });
    progress_line progress;
    progress_init(&progress, cs->ctx->show_progress ? stderr : nullptr, "Writing");
    struct stat st;
    const double total = fstat(cs->ctx->fd, &st) == 0 && st.st_size > 0 ? static_cast<double>(st.st_size) : -1;
    int write_err = 0;
    int64_t written = 0;
    for (;;) {
        std::vector<uint8_t> buf;
        {
            std::unique_lock lock(q.mutex);
            q.changed.wait(lock, [&] { return !q.ready.empty() || q.done; });
            if (q.ready.empty())
                break;
            buf = std::move(q.ready.front());
            q.ready.pop_front();
        }
        write_err = file_write_all(dst_fd, buf.data(), buf.size());
        // Start writing this block to disk now, so that the final flush of a
        // new file has little left to wait for.
        if (write_err == 0 && start_writeback && !buf.empty())
            sync_file_range(dst_fd, written, static_cast<off_t>(buf.size()), SYNC_FILE_RANGE_WRITE);
        written += static_cast<int64_t>(buf.size());
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
    // Payloads that share bytes cannot both be rewritten; refuse before
    // anything is written.
    if (ctx->overlap_pos >= 0) {
        fprintf(stderr, "Overlapping PCM payloads at offset %" PRId64 " in %s\n", ctx->overlap_pos, ctx->path.c_str());
        return -EINVAL;
    }
    dst_file dst;
    if (const int err = dst_open(dst_path, &dst); err != 0)
        return write_failed(dst_path, err);
    copy_state cs{ctx, {}, std::vector<int64_t>(ctx->slots.size()), {}, 0};
    copy_fault fault = copy_fault::none;
    int err = copy_source(&cs, dst.fd, !dst.tmp_path.empty(), &fault);
    if (err == 0) {
        for (int32_t s : ctx->track_index)
            if (cs.clipped[static_cast<size_t>(s)] > 0)
                fprintf(stderr, "clipped amp[%d]=%" PRId64 " samples\n", s, cs.clipped[static_cast<size_t>(s)]);
        err = dst_commit(&dst, dst_path);
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
