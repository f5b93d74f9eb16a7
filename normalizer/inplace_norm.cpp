#include "inplace_norm.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "aes3_element.h"
#include "crc32c.h"
#include "file_io.h"
#include "pcm_codec.h"
#include "progress.h"

namespace {

// Bytes read from the source at once when locating payloads.
constexpr int64_t read_ahead_bytes = 1 << 20;
// A KLV key and the longest BER length.
constexpr int64_t klv_header_max_bytes = 16 + 9;

bool inplace_norm_is_pcm(AVCodecID id)
{
    return id == AV_CODEC_ID_PCM_S16LE || id == AV_CODEC_ID_PCM_S16BE || id == AV_CODEC_ID_PCM_S24LE ||
           id == AV_CODEC_ID_PCM_S24BE;
}

// A read-ahead window over the source: packets come in file order, so one
// large read serves many of them.
struct source_window {
    std::vector<uint8_t> buf;
    int64_t start = 0;
    int64_t len = 0;
};

// Bytes [pos, pos + want) of the source, or fewer at its end: *avail tells how
// many (-errno when the read failed, with a null result).
const uint8_t* source_window_get(int fd, source_window* w, int64_t pos, int64_t want, int64_t* avail)
{
    if (pos < w->start || pos + want > w->start + w->len) {
        const int64_t size = std::max(want, read_ahead_bytes);
        if (static_cast<int64_t>(w->buf.size()) < size)
            w->buf.resize(static_cast<size_t>(size));
        const int64_t got = file_read_at(fd, w->buf.data(), size, pos);
        w->start = pos;
        w->len = std::max<int64_t>(got, 0);
        if (got < 0) {
            *avail = got;
            return nullptr;
        }
    }
    *avail = std::min(want, w->start + w->len - pos);
    return w->buf.data() + (pos - w->start);
}

// Where the packet's payload lies in the source: its own bytes, or else the
// D-10 AES3 element the demuxer converted it from. *raw points at the bytes
// of that place until the window moves. False when neither is found.
bool inplace_norm_find_place(int fd, source_window* w, const AVPacket& pkt, int channels, int codec_id,
                             payload_place* place, const uint8_t** raw)
{
    if (pkt.pos < 0 || pkt.size <= 0)
        return false;
    // The window reaches beyond the payload by a KLV key and length, or by
    // a quarter of the payload, so that the whole payload can be compared
    // at every candidate offset.
    int64_t avail = 0;
    const int64_t reach = std::max<int64_t>(pkt.size / 4, klv_header_max_bytes);
    const uint8_t* bytes = source_window_get(fd, w, pkt.pos, pkt.size + reach, &avail);
    int64_t found = bytes ? inplace_norm_locate_payload(pkt.data, pkt.size, bytes, avail) : -1;
    if (found >= 0) {
        *place = {pkt.pos + found, pkt.size, pkt.stream_index, false};
        *raw = pkt.data;
        return true;
    }
    bytes = source_window_get(fd, w, pkt.pos, klv_header_max_bytes + aes3_value_max_bytes, &avail);
    int32_t value_size = 0;
    found = bytes ? inplace_norm_locate_aes3(pkt.data, pkt.size, bytes, avail, channels, codec_id, &value_size) : -1;
    if (found < 0)
        return false;
    *place = {pkt.pos + found, value_size, pkt.stream_index, true};
    *raw = bytes + found;
    return true;
}

void inplace_norm_print_not_found(const AVPacket& pkt)
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
            pkt.size, pkt.pos, b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
            b[14], b[15]);
}

// Sorts the table by position and notes the first payload that overlaps the
// one before it.
void inplace_norm_order_payloads(inplace_norm_ctx* ctx)
{
    packet_table_sort(&ctx->packets);
    packet_table_reader r = packet_table_begin(ctx->packets);
    int64_t prev_end = 0;
    for (payload_place p; packet_table_next(&r, &p);) {
        if (p.pos < prev_end) {
            ctx->overlap_pos = p.pos;
            return;
        }
        prev_end = p.pos + p.size;
    }
}

}  // namespace

int inplace_norm_create(inplace_norm_ctx** ctx_out, const char* path)
{
    // The source is read twice and at random offsets: only a regular file will
    // do. A FIFO or a device is refused before anything could block on it.
    struct stat st;
    if (stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
        const int err = S_ISDIR(st.st_mode) ? EISDIR : ESPIPE;
        fprintf(stderr, "Failed to open %s: %s\n", path, strerror(err));
        return -err;
    }
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
        // The meters are made here so that a track the loudness library
        // refuses is left out before the tracks are counted.
        track_meter meter;
        if (track_meter_init(&meter, channels, par->sample_rate, TRACK_FLOAT) != 0) {
            fprintf(stderr, "Skipping stream #%u: cannot measure %d channels at %d Hz\n", i, channels,
                    par->sample_rate);
            continue;
        }
        track_slot& slot = ctx->slots[i];
        slot.selected = true;
        slot.codec_id = par->codec_id;
        slot.channels = channels;
        slot.sample_rate = par->sample_rate;
        slot.ordinal = ctx->track_count;
        ctx->meters.push_back(std::move(meter));
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
    if (ctx->fd >= 0)
        close(ctx->fd);
    delete ctx;
    return 0;
}

int inplace_norm_meters_init(inplace_norm_ctx* ctx)
{
    ctx->meters.resize(static_cast<size_t>(ctx->track_count));
    for (int32_t t = 0; t < ctx->track_count; ++t) {
        track_meter& m = ctx->meters[static_cast<size_t>(t)];
        const track_slot& slot = ctx->slots[static_cast<size_t>(ctx->track_index[static_cast<size_t>(t)])];
        if (!m.loudness)
            track_meter_init(&m, slot.channels, slot.sample_rate, TRACK_FLOAT);
    }
    return 0;
}

int inplace_norm_meters_free(inplace_norm_ctx* ctx)
{
    ctx->meters.clear();
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

int64_t inplace_norm_klv_value(const uint8_t* window, int64_t window_len, uint64_t* length)
{
    static constexpr uint8_t ul_prefix[4] = {0x06, 0x0e, 0x2b, 0x34};
    constexpr int64_t key_bytes = 16;
    if (window_len < key_bytes + 1 || std::memcmp(window, ul_prefix, sizeof ul_prefix) != 0)
        return -1;
    const uint8_t first = window[key_bytes];
    if (first < 0x80) {
        *length = first;
        return key_bytes + 1;
    }
    // Long form: the low bits count the big-endian length bytes that follow.
    const int n = first & 0x7f;
    if (n == 0 || n > 8 || window_len < key_bytes + 1 + n)
        return -1;
    uint64_t len = 0;
    for (int i = 0; i < n; ++i)
        len = len << 8 | window[key_bytes + 1 + i];
    *length = len;
    return key_bytes + 1 + n;
}

int64_t inplace_norm_locate_payload(const uint8_t* payload, int size, const uint8_t* window, int64_t window_len)
{
    // A KLV packet whose length is the payload's size holds the payload right
    // after its length and nowhere else. Searching instead could match earlier
    // in a payload that repeats with a short period and starts like the end of
    // its own length field (a constant sample value, digital silence).
    uint64_t length = 0;
    const int64_t value = inplace_norm_klv_value(window, window_len, &length);
    if (value >= 0 && size > 0 && length == static_cast<uint64_t>(size)) {
        if (value + size <= window_len && std::memcmp(window + value, payload, static_cast<size_t>(size)) == 0)
            return value;
        return -1;
    }
    if (size < 4)
        return -1;
    return inplace_norm_locate(payload, size, window, window_len);
}

int64_t inplace_norm_locate_aes3(const uint8_t* payload, int size, const uint8_t* window, int64_t window_len,
                                 int channels, int codec_id, int32_t* value_size)
{
    uint64_t length = 0;
    const int64_t value = inplace_norm_klv_value(window, window_len, &length);
    if (value < 0 || !aes3_is_element_key(window) || length > static_cast<uint64_t>(window_len - value) ||
        !aes3_matches_pcm(window + value, static_cast<int64_t>(length), channels, codec_id, payload, size))
        return -1;
    *value_size = static_cast<int32_t>(length);
    return value;
}

void inplace_norm_add_fingerprint(std::vector<uint64_t>* sums, const payload_place& p, const uint8_t* bytes)
{
    uint64_t x = static_cast<uint64_t>(p.pos) * 0x9E3779B97F4A7C15ull;
    x ^= static_cast<uint64_t>(static_cast<uint32_t>(p.size)) << 32 | crc32c(bytes, static_cast<size_t>(p.size));
    x ^= static_cast<uint64_t>(static_cast<uint32_t>(p.stream)) * 0xC2B2AE3D27D4EB4Full;
    // splitmix64's finaliser spreads every input bit over the whole sum term.
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 31;
    const size_t group = static_cast<size_t>(p.pos >> payload_group_shift);
    if (sums->size() <= group)
        sums->resize(group + 1);
    (*sums)[group] += x;
}

int inplace_norm_read(inplace_norm_ctx* ctx)
{
    meter_pool* raw_pool = nullptr;
    if (meter_pool_create(&raw_pool, &ctx->meters, ctx->threads) != 0)
        return AVERROR(ENOMEM);
    meter_pool_ptr pool(raw_pool);
    av_packet_ptr pkt(av_packet_alloc());
    if (!pkt)
        return AVERROR(ENOMEM);
    source_window window;
    progress_line progress;
    progress_init(&progress, ctx->show_progress ? stderr : nullptr, "Reading");
    struct stat st;
    const double file_size = fstat(ctx->fd, &st) == 0 && st.st_size > 0 ? static_cast<double>(st.st_size) : -1;
    std::vector<double> track_seconds(static_cast<size_t>(ctx->track_count));
    int r;
    while ((r = av_read_frame(ctx->container.get(), pkt.get())) >= 0) {
        const int s = pkt->stream_index;
        if (s < 0 || static_cast<size_t>(s) >= ctx->slots.size() || !ctx->slots[static_cast<size_t>(s)].selected) {
            av_packet_unref(pkt.get());
            continue;
        }
        const track_slot& slot = ctx->slots[static_cast<size_t>(s)];
        payload_place place;
        const uint8_t* raw = nullptr;
        if (!inplace_norm_find_place(ctx->fd, &window, *pkt, slot.channels, slot.codec_id, &place, &raw)) {
            progress_clear(&progress);
            inplace_norm_print_not_found(*pkt);
            return -EINVAL;
        }
        packet_table_append(&ctx->packets, place);
        inplace_norm_add_fingerprint(&ctx->payload_sums, place, raw);

        const int width = pcm_sample_width(slot.codec_id);
        const size_t frames = static_cast<size_t>(pkt->size / width / slot.channels);
        auto* samples = reinterpret_cast<float*>(meter_pool_append(pool.get(), static_cast<size_t>(slot.ordinal), frames));
        pcm_to_float(samples, pkt->data, static_cast<int>(frames) * slot.channels * width, slot.codec_id);
        double& seconds = track_seconds[static_cast<size_t>(slot.ordinal)];
        seconds += static_cast<double>(frames) / slot.sample_rate;
        ctx->media_seconds = std::max(ctx->media_seconds, seconds);
        progress_update(&progress, file_size > 0 ? static_cast<double>(place.pos + place.size) / file_size : -1,
                        ctx->media_seconds);
        av_packet_unref(pkt.get());
    }
    progress_clear(&progress);
    if (r != AVERROR_EOF) {
        char msg[AV_ERROR_MAX_STRING_SIZE];
        av_strerror(r, msg, sizeof msg);
        fprintf(stderr, "Failed to read %s: %s\n", ctx->path.c_str(), msg);
        return r;
    }
    meter_pool_finish(pool.get());
    inplace_norm_order_payloads(ctx);
    return 0;
}

track_figures inplace_norm_figures(const inplace_norm_ctx* ctx, int32_t ordinal)
{
    return track_meter_figures(ctx->meters[static_cast<size_t>(ordinal)]);
}

int inplace_norm_measure_print(const inplace_norm_ctx* ctx)
{
    fprintf(stderr, "%s\n", "inplace_norm_measure_print");
    for (int32_t t = 0; t < ctx->track_count; ++t) {
        const track_figures f = inplace_norm_figures(ctx, t);
        fprintf(stderr, "stream #%d (%d):\n", t, ctx->track_index[static_cast<size_t>(t)]);
        fprintf(stderr, "\tloudness:  %.2f LUFS\n", f.loudness);
        fprintf(stderr, "\tLRA: %.2f LU\n", f.lra);
        for (size_t c = 0; c < f.channels.size(); ++c) {
            const channel_figures& ch = f.channels[c];
            fprintf(stderr, "\tchannel %d:\n", static_cast<int>(c));
            fprintf(stderr, "\t\tsample peak: %.2lf dBFS\n", qpm_ratio_to_db(ch.sample_peak));
            fprintf(stderr, "\t\ttrue peak: %.2lf dBFS\n", qpm_ratio_to_db(ch.true_peak));
            fprintf(stderr, "\t\tqpm0: %.2lf dBFS\n", ch.qpm_db[0]);
            fprintf(stderr, "\t\tqpm5: %.2lf dBFS\n", ch.qpm_db[1]);
            fprintf(stderr, "\t\tqpm10: %.2lf dBFS\n", ch.qpm_db[2]);
            fprintf(stderr, "\t\tqpm200: %.2lf dBFS\n", ch.qpm_db[3]);
        }
    }
    return 0;
}

int inplace_norm_apply_gain(inplace_norm_ctx* ctx, const std::vector<double>& gain)
{
    ctx->gain = gain;
    return 0;
}

int inplace_norm_normalize(inplace_norm_ctx* ctx, const char* dst_path, double target)
{
    std::vector<double> gain(ctx->slots.size(), 0.0);
    for (int32_t t = 0; t < ctx->track_count; ++t) {
        const int32_t s = ctx->track_index[static_cast<size_t>(t)];
        double& g = gain[static_cast<size_t>(s)];
        ebur128_loudness_global(ctx->meters[static_cast<size_t>(t)].loudness.get(), &g);
        fprintf(stderr, "current amp[%d]=%lfdB\n", s, g);
        g = target - g;
        fprintf(stderr, "amplify amp[%d]=%lfdB\n", s, g);
        g = exp10(g / 20.0);
        fprintf(stderr, "multiply amp[%d]=%lf\n", s, g);
    }
    inplace_norm_apply_gain(ctx, gain);
    return inplace_norm_write(ctx, dst_path);
}

int inplace_norm_normalize_auto(inplace_norm_ctx* ctx, const char* dst_path)
{
    return inplace_norm_normalize(ctx, dst_path, -23.0);
}
