#include "inplace_norm.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ebur128.h>

#include "pcm_codec.h"

namespace {

constexpr int meter_types[4] = {0, 5, 10, 200};
// Initial size of the scan's read window; it grows for larger packets.
constexpr size_t scan_window_bytes = 6144000;
// Block size of the destination copy.
constexpr size_t copy_block_bytes = 4194304;

bool inplace_norm_is_pcm(AVCodecID id)
{
    return id == AV_CODEC_ID_PCM_S16LE || id == AV_CODEC_ID_PCM_S16BE || id == AV_CODEC_ID_PCM_S24LE ||
           id == AV_CODEC_ID_PCM_S24BE;
}

// Reads up to len bytes at offset, retrying short reads; returns the number of
// bytes read (less than len only at the end of the file) or -errno.
int64_t inplace_norm_pread(int fd, uint8_t* buf, int64_t len, int64_t offset)
{
    int64_t done = 0;
    while (done < len) {
        const ssize_t r = pread(fd, buf + done, static_cast<size_t>(len - done), offset + done);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return -errno;
        }
        if (r == 0)
            break;
        done += r;
    }
    return done;
}

// Writes all len bytes; returns 0 or -errno.
int inplace_norm_write_all(int fd, const uint8_t* buf, size_t len)
{
    while (len > 0) {
        const ssize_t r = write(fd, buf, len);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return -errno;
        }
        buf += r;
        len -= static_cast<size_t>(r);
    }
    return 0;
}

// Measures one payload: its samples feed the track's loudness state and, channel
// by channel, the four quasi-peak meters.
void inplace_norm_measure_packet(track_slot& slot, const AVPacket& pkt, std::vector<float>& samples)
{
    const size_t capacity = static_cast<size_t>(pkt.size) / 2;
    if (samples.size() < capacity)
        samples.resize(capacity);
    const int n = pcm_to_float(samples.data(), pkt.data, pkt.size, slot.codec_id);
    ebur128_add_frames_float(slot.loudness, samples.data(), static_cast<size_t>(n / slot.channels));
    const double dt = 1.0 / slot.sample_rate;
    for (int j = 0; j < n; ++j) {
        const auto& meters = slot.qpm[static_cast<size_t>(j % slot.channels)];
        const double x = samples[static_cast<size_t>(j)];
        for (qpm_meter* m : meters)
            qpm_process(m, x, dt);
    }
}

void inplace_norm_print_not_found(const AVPacket& pkt, int64_t reported_pos)
{
    // FFmpeg pads every payload with zero bytes, so sixteen bytes can be shown
    // even for a shorter one; a packet without a payload shows zeros.
    uint8_t b[16] = {};
    if (pkt.data)
        std::memcpy(b, pkt.data, 16);
    fprintf(stderr, "Failed to fingerpint packet data!\n");
    fprintf(stderr,
            "[%8d] %8" PRId64 " %.02X %.02X %.02X %.02X %.02X %.02X %.02X %.02X %.02X %.02X %.02X %.02X %.02X %.02X "
            "%.02X %.02X\n",
            pkt.size, reported_pos, b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12],
            b[13], b[14], b[15]);
}

// Where the destination's bytes go while it is written.
struct dst_file {
    int fd = -1;
    std::string tmp_path;  // empty when the destination is written directly
    mode_t mode = 0;       // permission bits the renamed file gets
};

int inplace_norm_fail(const char* path, int err)
{
    fprintf(stderr, "Failed to write %s: %s\n", path, strerror(-err));
    return err;
}

int inplace_norm_open_dst(const char* path, dst_file* out)
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
    std::string p(path);
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
int inplace_norm_commit_dst(dst_file* dst, const char* path)
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

void inplace_norm_discard_dst(dst_file* dst)
{
    if (dst->fd >= 0)
        close(dst->fd);
    if (!dst->tmp_path.empty())
        unlink(dst->tmp_path.c_str());
}

// Copies the whole source to dst in large blocks, overlaying each retained
// payload (sorted, non-overlapping) where it lies. Returns 0 or -errno; *src_failed
// tells whether the failure was the source's.
int inplace_norm_copy(const inplace_norm_ctx* ctx, int dst_fd, bool* src_failed)
{
    std::vector<uint8_t> block(copy_block_bytes);
    const auto& packets = ctx->packets;
    size_t next = 0;  // first packet whose payload ends beyond the current block's start
    int64_t offset = 0;
    for (;;) {
        const int64_t got = inplace_norm_pread(ctx->fd, block.data(), static_cast<int64_t>(block.size()), offset);
        if (got < 0) {
            *src_failed = true;
            return static_cast<int>(got);
        }
        if (got == 0)
            break;
        const int64_t end = offset + got;
        for (size_t k = next; k < packets.size() && packets[k]->pos < end; ++k) {
            const AVPacket& p = *packets[k];
            const int64_t from = std::max(p.pos, offset);
            const int64_t to = std::min(p.pos + p.size, end);
            std::memcpy(block.data() + (from - offset), p.data + (from - p.pos), static_cast<size_t>(to - from));
        }
        while (next < packets.size() && packets[next]->pos + packets[next]->size <= end)
            ++next;
        if (const int err = inplace_norm_write_all(dst_fd, block.data(), static_cast<size_t>(got)); err != 0)
            return err;
        offset = end;
    }
    if (next != packets.size()) {
        // The source is now shorter than the payloads found in it.
        *src_failed = true;
        return -EIO;
    }
    return 0;
}

}  // namespace

int inplace_norm_create(inplace_norm_ctx** ctx_out, const char* path)
{
    AVFormatContext* raw = nullptr;
    int r = avformat_open_input(&raw, path, nullptr, nullptr);
    if (r < 0)
        return r;
    av_format_ptr container(raw);
    const AVInputFormat* fmt = container->iformat;
    fprintf(stderr, "%s:%d: name=[%s]\n", __FILE_NAME__, __LINE__, fmt->name);
    fprintf(stderr, "%s:%d: long_name=[%s]\n", __FILE_NAME__, __LINE__, fmt->long_name ? fmt->long_name : "");
    if (strcasecmp(fmt->name, "mxf") != 0)
        return -EOPNOTSUPP;
    r = avformat_find_stream_info(container.get(), nullptr);
    if (r < 0)
        return r;

    auto* ctx = new inplace_norm_ctx;
    *ctx_out = ctx;
    ctx->container = std::move(container);
    const AVFormatContext* fc = ctx->container.get();
    ctx->slots.resize(fc->nb_streams);
    for (unsigned i = 0; i < fc->nb_streams; ++i) {
        const AVCodecParameters* par = fc->streams[i]->codecpar;
        if (par->codec_type != AVMEDIA_TYPE_AUDIO || !inplace_norm_is_pcm(par->codec_id))
            continue;
        const int channels = par->ch_layout.nb_channels;
        if (channels <= 0) {
            fprintf(stderr, "Skipping stream #%u: PCM track without channels\n", i);
            continue;
        }
        // The loudness state is made here so that a track the library refuses
        // is left out before the tracks are counted.
        ebur128_state* st = ebur128_init(static_cast<unsigned>(channels), static_cast<unsigned long>(par->sample_rate),
                                         EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_SAMPLE_PEAK |
                                             EBUR128_MODE_TRUE_PEAK);
        if (!st) {
            fprintf(stderr, "Skipping stream #%u: cannot measure %d channels at %d Hz\n", i, channels,
                    par->sample_rate);
            continue;
        }
        track_slot& slot = ctx->slots[i];
        slot.selected = true;
        slot.codec_id = par->codec_id;
        slot.channels = channels;
        slot.sample_rate = par->sample_rate;
        slot.loudness = st;
        ctx->track_index.push_back(static_cast<int32_t>(i));
        ++ctx->track_count;
    }

    ctx->path = path;
    ctx->fd = open(path, O_RDONLY);
    if (ctx->fd < 0) {
        const int err = errno;
        fprintf(stderr, "Failed to open %s: %s\n", path, strerror(err));
        return -err;
    }
    return ctx->track_count;
}

int inplace_norm_destroy(inplace_norm_ctx** ctx_ptr)
{
    if (!ctx_ptr || !*ctx_ptr)
        return -22;
    inplace_norm_ctx* ctx = *ctx_ptr;
    *ctx_ptr = nullptr;
    inplace_norm_meters_free(ctx);
    if (ctx->fd >= 0)
        close(ctx->fd);
    delete ctx;
    return 0;
}

int inplace_norm_meters_init(inplace_norm_ctx* ctx)
{
    for (int32_t s : ctx->track_index) {
        track_slot& slot = ctx->slots[static_cast<size_t>(s)];
        if (!slot.loudness)
            slot.loudness = ebur128_init(static_cast<unsigned>(slot.channels),
                                         static_cast<unsigned long>(slot.sample_rate),
                                         EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_SAMPLE_PEAK |
                                             EBUR128_MODE_TRUE_PEAK);
        if (!slot.qpm.empty())
            continue;
        slot.qpm.resize(static_cast<size_t>(slot.channels));
        for (auto& meters : slot.qpm)
            for (size_t k = 0; k < 4; ++k)
                qpm_create(&meters[k], meter_types[k]);
    }
    return 0;
}

int inplace_norm_meters_free(inplace_norm_ctx* ctx)
{
    for (int32_t s : ctx->track_index) {
        track_slot& slot = ctx->slots[static_cast<size_t>(s)];
        if (slot.loudness)
            ebur128_destroy(&slot.loudness);
        for (auto& meters : slot.qpm)
            for (qpm_meter*& m : meters)
                qpm_destroy(&m);
        slot.qpm.clear();
    }
    return 0;
}

int64_t inplace_norm_locate(const uint8_t* payload, int size, const uint8_t* window, int64_t window_len)
{
    const int quarter = size / 4;
    for (int64_t i = 0; i < quarter && i + size <= window_len; ++i)
        if (window[i] == payload[0] && std::memcmp(window + i, payload, static_cast<size_t>(size)) == 0)
            return i;
    return -1;
}

int inplace_norm_read(inplace_norm_ctx* ctx)
{
    std::vector<uint8_t> window(scan_window_bytes);
    std::vector<float> samples(scan_window_bytes / sizeof(float));
    av_packet_ptr pkt(av_packet_alloc());
    if (!pkt)
        return AVERROR(ENOMEM);
    int r;
    while ((r = av_read_frame(ctx->container.get(), pkt.get())) >= 0) {
        const int s = pkt->stream_index;
        if (s < 0 || static_cast<size_t>(s) >= ctx->slots.size() || !ctx->slots[static_cast<size_t>(s)].selected) {
            av_packet_unref(pkt.get());
            continue;
        }
        av_packet_ptr kept(av_packet_alloc());
        if (!kept)
            return AVERROR(ENOMEM);
        av_packet_move_ref(kept.get(), pkt.get());
        ctx->packets.push_back(std::move(kept));
        AVPacket& p = *ctx->packets.back();

        // The window reaches a quarter of the payload beyond it, so that the
        // whole payload can be compared at every candidate offset.
        int64_t found = -1;
        if (p.pos >= 0 && p.size >= 4) {
            const int64_t want = static_cast<int64_t>(p.size) + p.size / 4;
            if (window.size() < static_cast<size_t>(want))
                window.resize(static_cast<size_t>(want));
            const int64_t got = inplace_norm_pread(ctx->fd, window.data(), want, p.pos);
            if (got > 0)
                found = inplace_norm_locate(p.data, p.size, window.data(), got);
        }
        if (found < 0) {
            inplace_norm_print_not_found(p, p.pos);
            return -EINVAL;
        }
        p.pos += found;
        inplace_norm_measure_packet(ctx->slots[static_cast<size_t>(s)], p, samples);
    }
    if (r != AVERROR_EOF) {
        char msg[AV_ERROR_MAX_STRING_SIZE];
        av_strerror(r, msg, sizeof msg);
        fprintf(stderr, "Failed to read %s: %s\n", ctx->path.c_str(), msg);
        return r;
    }
    std::stable_sort(ctx->packets.begin(), ctx->packets.end(),
                     [](const av_packet_ptr& a, const av_packet_ptr& b) { return a->pos < b->pos; });
    return 0;
}

int inplace_norm_measure_print(const inplace_norm_ctx* ctx)
{
    fprintf(stderr, "%s\n", "inplace_norm_measure_print");
    for (int32_t t = 0; t < ctx->track_count; ++t) {
        const int32_t s = ctx->track_index[static_cast<size_t>(t)];
        const track_slot& slot = ctx->slots[static_cast<size_t>(s)];
        double loudness = 0.0, lra = 0.0;
        ebur128_loudness_global(slot.loudness, &loudness);
        ebur128_loudness_range(slot.loudness, &lra);
        fprintf(stderr, "stream #%d (%d):\n", t, s);
        fprintf(stderr, "\tloudness:  %.2f LUFS\n", loudness);
        fprintf(stderr, "\tLRA: %.2f LU\n", lra);
        for (int32_t c = 0; c < slot.channels; ++c) {
            double sample_peak = 0.0, true_peak = 0.0;
            ebur128_sample_peak(slot.loudness, static_cast<unsigned>(c), &sample_peak);
            ebur128_true_peak(slot.loudness, static_cast<unsigned>(c), &true_peak);
            const auto& meters = slot.qpm[static_cast<size_t>(c)];
            double q[4];
            for (size_t k = 0; k < 4; ++k)
                qpm_get_max_db(meters[k], &q[k], 1.0);
            fprintf(stderr, "\tchannel %d:\n", c);
            fprintf(stderr, "\t\tsample peak: %.2lf dBFS\n", qpm_ratio_to_db(sample_peak));
            fprintf(stderr, "\t\ttrue peak: %.2lf dBFS\n", qpm_ratio_to_db(true_peak));
            fprintf(stderr, "\t\tqpm0: %.2lf dBFS\n", q[0]);
            fprintf(stderr, "\t\tqpm5: %.2lf dBFS\n", q[1]);
            fprintf(stderr, "\t\tqpm10: %.2lf dBFS\n", q[2]);
            fprintf(stderr, "\t\tqpm200: %.2lf dBFS\n", q[3]);
        }
    }
    return 0;
}

int inplace_norm_apply_gain(inplace_norm_ctx* ctx, const std::vector<double>& gain)
{
    std::vector<float> samples(scan_window_bytes / sizeof(float));
    std::vector<int64_t> clipped(ctx->slots.size());
    for (auto& pkt : ctx->packets) {
        const size_t s = static_cast<size_t>(pkt->stream_index);
        const double g = gain[s];
        if (!std::isfinite(g))
            continue;
        if (av_packet_make_writable(pkt.get()) < 0)
            return AVERROR(ENOMEM);
        const size_t capacity = static_cast<size_t>(pkt->size) / 2;
        if (samples.size() < capacity)
            samples.resize(capacity);
        const int codec = ctx->slots[s].codec_id;
        const int n = pcm_to_float(samples.data(), pkt->data, pkt->size, codec);
        for (int i = 0; i < n; ++i)
            samples[static_cast<size_t>(i)] = static_cast<float>(static_cast<double>(samples[static_cast<size_t>(i)]) * g);
        clipped[s] += float_to_pcm(samples.data(), pkt->data, pkt->size, codec);
    }
    for (int32_t s : ctx->track_index)
        if (clipped[static_cast<size_t>(s)] > 0)
            fprintf(stderr, "clipped amp[%d]=%" PRId64 " samples\n", s, clipped[static_cast<size_t>(s)]);
    return 0;
}

int inplace_norm_normalize(inplace_norm_ctx* ctx, const char* dst_path, double target)
{
    std::vector<double> gain(ctx->slots.size(), 0.0);
    for (int32_t s : ctx->track_index) {
        double& g = gain[static_cast<size_t>(s)];
        ebur128_loudness_global(ctx->slots[static_cast<size_t>(s)].loudness, &g);
        fprintf(stderr, "current amp[%d]=%lfdB\n", s, g);
        g = target - g;
        fprintf(stderr, "amplify amp[%d]=%lfdB\n", s, g);
        g = exp10(g / 20.0);
        fprintf(stderr, "multiply amp[%d]=%lf\n", s, g);
    }
    if (const int r = inplace_norm_apply_gain(ctx, gain); r < 0)
        return r;
    return inplace_norm_write(ctx, dst_path);
}

int inplace_norm_normalize_auto(inplace_norm_ctx* ctx, const char* dst_path)
{
    return inplace_norm_normalize(ctx, dst_path, -23.0);
}

int inplace_norm_write(const inplace_norm_ctx* ctx, const char* dst_path)
{
    // Payloads that share bytes cannot both be substituted; refuse before
    // anything is written.
    for (size_t k = 1; k < ctx->packets.size(); ++k) {
        const AVPacket& prev = *ctx->packets[k - 1];
        const AVPacket& p = *ctx->packets[k];
        if (p.pos < prev.pos + prev.size) {
            fprintf(stderr, "Overlapping PCM payloads at offsets %" PRId64 " and %" PRId64 " in %s\n", prev.pos,
                    p.pos, ctx->path.c_str());
            return -EINVAL;
        }
    }
    dst_file dst;
    if (const int err = inplace_norm_open_dst(dst_path, &dst); err != 0)
        return inplace_norm_fail(dst_path, err);
    bool src_failed = false;
    int err = inplace_norm_copy(ctx, dst.fd, &src_failed);
    if (err == 0)
        err = inplace_norm_commit_dst(&dst, dst_path);
    if (err != 0) {
        inplace_norm_discard_dst(&dst);
        if (src_failed) {
            fprintf(stderr, "Failed to read %s: %s\n", ctx->path.c_str(), strerror(-err));
            return err;
        }
        return inplace_norm_fail(dst_path, err);
    }
    return 0;
}
