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
    ctx->track_of_stream.assign(fc->nb_streams, -1);
    for (unsigned i = 0; i < fc->nb_streams; ++i) {
        const AVCodecParameters* par = fc->streams[i]->codecpar;
        if (par->codec_type != AVMEDIA_TYPE_AUDIO || !inplace_norm_is_pcm(par->codec_id))
            continue;
        const int channels = par->ch_layout.nb_channels;
        if (channels <= 0) {
            fprintf(stderr, "Skipping stream #%u: PCM track without channels\n", i);
            continue;
        }
        // The meter is made here so that a track the loudness library refuses
        // is left out before the tracks are counted.
        track_meter meter;
        if (track_meter_init(&meter, channels, par->sample_rate, TRACK_FLOAT) != 0) {
            fprintf(stderr, "Skipping stream #%u: cannot measure %d channels at %d Hz\n", i, channels,
                    par->sample_rate);
            continue;
        }
        norm_track track;
        track.stream = static_cast<int32_t>(i);
        track.codec_id = par->codec_id;
        track.channels = channels;
        track.sample_rate = par->sample_rate;
        track.meter = ctx->meters.size();
        ctx->meters.push_back(std::move(meter));
        ctx->track_of_stream[i] = static_cast<int32_t>(ctx->tracks.size());
        ctx->tracks.push_back(track);
    }

    ctx->path = path;
    ctx->fd = open(path, O_RDONLY);
    if (ctx->fd < 0) {
        const int err = errno;
        fprintf(stderr, "Failed to open %s: %s\n", path, strerror(err));
        return -err;
    }
    return static_cast<int>(ctx->tracks.size());
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
    // The meters are made with the records they belong to; this makes up any
    // that have been released since.
    for (const norm_track& t : ctx->tracks) {
        if (ctx->meters.size() <= t.meter)
            ctx->meters.resize(t.meter + 1);
        if (!ctx->meters[t.meter].loudness)
            track_meter_init(&ctx->meters[t.meter], t.channels, t.sample_rate, TRACK_FLOAT);
    }
    for (const norm_programme& p : ctx->programmes) {
        if (ctx->meters.size() <= p.meter)
            ctx->meters.resize(p.meter + 1);
        if (!ctx->meters[p.meter].loudness)
            track_meter_init_loudness(&ctx->meters[p.meter], p.channels, p.sample_rate, TRACK_FLOAT);
    }
    return 0;
}

int inplace_norm_meters_free(inplace_norm_ctx* ctx)
{
    ctx->meters.clear();
    return 0;
}

int inplace_norm_set_programmes(inplace_norm_ctx* ctx, const std::vector<programme_group>& groups, std::string* why)
{
    if (const int s = programme_groups_overlap(groups); s >= 0) {
        *why = "Stream #" + std::to_string(s) + " is in more than one programme group";
        return -EINVAL;
    }
    std::vector<norm_programme> programmes;
    std::vector<track_meter> meters;
    for (const programme_group& g : groups) {
        norm_programme p;
        p.name = g.name;
        for (int s = g.first; s <= g.last; ++s) {
            const size_t i = static_cast<size_t>(s);
            if (i >= ctx->track_of_stream.size() || ctx->track_of_stream[i] < 0) {
                *why = "Programme group " + g.name + " names stream #" + std::to_string(s) +
                       ", which is not a selected PCM track";
                return -EINVAL;
            }
            const size_t t = static_cast<size_t>(ctx->track_of_stream[i]);
            const norm_track& track = ctx->tracks[t];
            if (!p.tracks.empty() && track.sample_rate != p.sample_rate) {
                *why = "Programme group " + g.name + " mixes sample rates: stream #" +
                       std::to_string(ctx->tracks[p.tracks[0]].stream) + " at " + std::to_string(p.sample_rate) +
                       " Hz, stream #" + std::to_string(s) + " at " + std::to_string(track.sample_rate) + " Hz";
                return -EINVAL;
            }
            p.tracks.push_back(t);
            p.channels += track.channels;
            p.sample_rate = track.sample_rate;
        }
        track_meter m;
        if (track_meter_init_loudness(&m, p.channels, p.sample_rate, TRACK_FLOAT) != 0) {
            *why = "Programme group " + g.name + ": cannot measure " + std::to_string(p.channels) + " channels at " +
                   std::to_string(p.sample_rate) + " Hz";
            return -EINVAL;
        }
        p.meter = ctx->meters.size() + meters.size();
        meters.push_back(std::move(m));
        programmes.push_back(std::move(p));
    }
    for (track_meter& m : meters)
        ctx->meters.push_back(std::move(m));
    for (norm_programme& p : programmes)
        ctx->programmes.push_back(std::move(p));
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
    if (size <= 0)
        return -1;
    // A packet that starts at a KLV key holds its payload right after the
    // key's length and nowhere else, whatever the length says: the packet's
    // size when the element is whole, more when the file ends inside it.
    // Searching instead could match earlier in a payload that repeats with a
    // short period and starts like the end of its own length field (a
    // constant sample value, digital silence), and rewriting it there would
    // corrupt the length.
    uint64_t length = 0;
    const int64_t value = inplace_norm_klv_value(window, window_len, &length);
    if (value >= 0) {
        if (value + size <= window_len && std::memcmp(window + value, payload, static_cast<size_t>(size)) == 0)
            return value;
        // A piece of clip-wrapped essence whose samples happen to begin like
        // a key: the payload is exactly at the position, not searched for.
        if (size <= window_len && std::memcmp(window, payload, static_cast<size_t>(size)) == 0)
            return 0;
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

namespace {

// One payload's term of a fingerprint sum.
uint64_t inplace_norm_fingerprint(const payload_place& p, const uint8_t* bytes)
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
    return x;
}

// Adds a term to the sum of the group of the source that holds pos.
void inplace_norm_add_term(std::vector<uint64_t>* sums, int64_t pos, uint64_t term)
{
    const size_t group = static_cast<size_t>(pos >> payload_group_shift);
    if (sums->size() <= group)
        sums->resize(group + 1);
    (*sums)[group] += term;
}

// A programme's tracks on their way to its meter during the scan. A programme
// whose tracks lie too far apart in the file to be lined up in memory is
// marked to be read back from the file after the scan instead.
struct programme_scan {
    programme_feed feed;
    uint64_t fed_frames = 0;  // frames its meter has seen
    bool read_back = false;
};

// Hands the frames all of a programme's tracks have to its meter.
void programme_scan_flush(programme_scan* ps, meter_pool* pool, size_t meter)
{
    const size_t ready = programme_feed_ready(ps->feed);
    if (ready == 0)
        return;
    programme_feed_take(&ps->feed, ready, meter_pool_append(pool, meter, ready));
    ps->fed_frames += ready;
}

// Where one track of a programme is while it is read back from the file.
struct read_back_cursor {
    packet_table_reader reader;
    source_window window;
    uint64_t skip_frames = 0;  // frames the programme's meter saw during the scan
};

// A programme's tracks read back from the source in the order the scan met
// their payloads, each from a cursor of its own.
struct payload_read_back {
    const inplace_norm_ctx* ctx = nullptr;
    const norm_programme* prog = nullptr;
    std::vector<read_back_cursor> cursors;
    std::vector<uint64_t> sums;  // fingerprints of the payloads read back
    std::vector<float> samples;
};

// Pushes the next payload of member m of the programme. Returns 1, 0 when the
// track has no more payloads, or -errno with the diagnostic printed.
int programme_source_read(payload_read_back* rb, size_t m, programme_feed* feed)
{
    const inplace_norm_ctx* ctx = rb->ctx;
    read_back_cursor& c = rb->cursors[m];
    const norm_track& t = ctx->tracks[rb->prog->tracks[m]];
    payload_place place;
    do {
        if (!packet_table_next(&c.reader, &place))
            return 0;
    } while (place.stream != t.stream);
    int64_t avail = 0;
    const uint8_t* bytes = source_window_get(ctx->fd, &c.window, place.pos, place.size, &avail);
    if (!bytes) {
        fprintf(stderr, "Failed to read %s: %s\n", ctx->path.c_str(), strerror(static_cast<int>(-avail)));
        return static_cast<int>(avail);
    }
    if (avail < place.size) {
        fprintf(stderr, "Failed to read %s: the file changed during the run\n", ctx->path.c_str());
        return -EIO;
    }
    inplace_norm_add_term(&rb->sums, place.pos, inplace_norm_fingerprint(place, bytes));
    size_t frames;
    if (place.aes3_element) {
        rb->samples.resize(static_cast<size_t>(place.size / 4));
        frames = static_cast<size_t>(aes3_to_float(rb->samples.data(), bytes, place.size, t.channels, t.codec_id) /
                                     t.channels);
    } else {
        const int width = pcm_sample_width(t.codec_id);
        frames = static_cast<size_t>(place.size / width / t.channels);
        rb->samples.resize(frames * static_cast<size_t>(t.channels));
        pcm_to_float(rb->samples.data(), bytes, static_cast<int>(frames) * t.channels * width, t.codec_id);
    }
    const size_t skip = static_cast<size_t>(std::min<uint64_t>(c.skip_frames, frames));
    c.skip_frames -= skip;
    programme_feed_push(feed, m, reinterpret_cast<const uint8_t*>(rb->samples.data() + skip * static_cast<size_t>(t.channels)),
                        frames - skip);
    return 1;
}

// Meters the rest of a programme by reading its tracks' payloads back from the
// source in the order the scan met them, a little of every track at a time.
// Returns 0, or -errno with the diagnostic printed.
int inplace_norm_read_back(const inplace_norm_ctx* ctx, const norm_programme& prog, programme_scan* ps,
                           meter_pool* pool)
{
    payload_read_back rb;
    rb.ctx = ctx;
    rb.prog = &prog;
    rb.cursors.resize(prog.tracks.size());
    for (read_back_cursor& c : rb.cursors) {
        c.reader = packet_table_begin(ctx->packets);
        c.skip_frames = ps->fed_frames;
    }
    programme_feed_clear(&ps->feed);
    for (int64_t ready; (ready = programme_read_back_round(&ps->feed, &rb)) != 0;) {
        if (ready < 0)
            return static_cast<int>(ready);
        programme_scan_flush(ps, pool, prog.meter);
    }
    if (rb.sums != prog.sums) {
        fprintf(stderr, "Failed to read %s: the file changed during the run\n", ctx->path.c_str());
        return -EIO;
    }
    return 0;
}

// Whether the file ends with a random index pack, as every complete MXF file
// written by FFmpeg or GStreamer does: its last four bytes give the pack's
// length, and the pack starts with its key. A file cut short ends elsewhere.
bool inplace_norm_ends_with_index_pack(int fd)
{
    static constexpr uint8_t rip_key[16] = {0x06, 0x0e, 0x2b, 0x34, 0x02, 0x05, 0x01, 0x01,
                                            0x0d, 0x01, 0x02, 0x01, 0x01, 0x11, 0x01, 0x00};
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size < 21)
        return false;
    uint8_t tail[4];
    if (file_read_at(fd, tail, 4, st.st_size - 4) != 4)
        return false;
    const int64_t length = int64_t{tail[0]} << 24 | tail[1] << 16 | tail[2] << 8 | tail[3];
    uint8_t key[16];
    if (length < 21 || length > st.st_size || file_read_at(fd, key, 16, st.st_size - length) != 16)
        return false;
    // Byte 7 is the registry's version, which writers set differently.
    return std::memcmp(key, rip_key, 7) == 0 && std::memcmp(key + 8, rip_key + 8, 8) == 0;
}

// Every track must have delivered the audio the file declares for it. Less
// means the demuxer skipped part of it (a damaged length makes it jump over
// whatever follows, sound elements included), which would stay unscaled in
// the destination; unless the file itself ends early, a transfer cut short,
// whose destination is a copy of what is there. Returns 0, or -22 with the
// diagnostic printed.
int inplace_norm_check_durations(const inplace_norm_ctx* ctx, const std::vector<uint64_t>& frames)
{
    bool complete_file = false, checked_end = false;
    for (size_t t = 0; t < ctx->tracks.size(); ++t) {
        const norm_track& track = ctx->tracks[t];
        const AVStream* st = ctx->container->streams[track.stream];
        if (st->duration == AV_NOPTS_VALUE || st->duration <= 0)
            continue;
        const int64_t declared = av_rescale_q(st->duration, st->time_base, AVRational{1, track.sample_rate});
        const int64_t missing = declared - static_cast<int64_t>(frames[t]);
        // Rounding between time bases costs a sample or two, never a millisecond.
        if (missing <= track.sample_rate / 1000)
            continue;
        if (!checked_end) {
            complete_file = inplace_norm_ends_with_index_pack(ctx->fd);
            checked_end = true;
        }
        const double rate = track.sample_rate;
        if (complete_file) {
            fprintf(stderr, "Failed to read %s: stream #%d lacks %.3f s of the %.3f s of audio the file declares "
                            "(damaged data was skipped)\n",
                    ctx->path.c_str(), track.stream, static_cast<double>(missing) / rate,
                    static_cast<double>(declared) / rate);
            return -EINVAL;
        }
        fprintf(stderr, "Stream #%d ends %.3f s before the %.3f s of audio the file declares: the file is cut short\n",
                track.stream, static_cast<double>(missing) / rate, static_cast<double>(declared) / rate);
    }
    return 0;
}

}  // namespace

void inplace_norm_add_fingerprint(std::vector<uint64_t>* sums, const payload_place& p, const uint8_t* bytes)
{
    inplace_norm_add_term(sums, p.pos, inplace_norm_fingerprint(p, bytes));
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
    // Which programme, and which of its members, each track is.
    std::vector<std::pair<int, size_t>> member_of(ctx->tracks.size(), {-1, 0});
    std::vector<programme_scan> scans(ctx->programmes.size());
    for (size_t p = 0; p < ctx->programmes.size(); ++p) {
        std::vector<size_t> channels;
        for (size_t m = 0; m < ctx->programmes[p].tracks.size(); ++m) {
            const size_t t = ctx->programmes[p].tracks[m];
            member_of[t] = {static_cast<int>(p), m};
            channels.push_back(static_cast<size_t>(ctx->tracks[t].channels));
        }
        programme_feed_init(&scans[p].feed, channels, sizeof(float));
    }
    source_window window;
    progress_line progress;
    progress_init(&progress, ctx->show_progress ? stderr : nullptr, "Reading");
    struct stat st;
    const double file_size = fstat(ctx->fd, &st) == 0 && st.st_size > 0 ? static_cast<double>(st.st_size) : -1;
    std::vector<uint64_t> track_frames(ctx->tracks.size());
    int r;
    while ((r = av_read_frame(ctx->container.get(), pkt.get())) >= 0) {
        const int s = pkt->stream_index;
        if (s < 0 || static_cast<size_t>(s) >= ctx->track_of_stream.size() ||
            ctx->track_of_stream[static_cast<size_t>(s)] < 0) {
            av_packet_unref(pkt.get());
            continue;
        }
        const size_t t = static_cast<size_t>(ctx->track_of_stream[static_cast<size_t>(s)]);
        const norm_track& track = ctx->tracks[t];
        payload_place place;
        const uint8_t* raw = nullptr;
        if (!inplace_norm_find_place(ctx->fd, &window, *pkt, track.channels, track.codec_id, &place, &raw)) {
            progress_clear(&progress);
            inplace_norm_print_not_found(*pkt);
            return -EINVAL;
        }
        packet_table_append(&ctx->packets, place);
        const uint64_t term = inplace_norm_fingerprint(place, raw);
        inplace_norm_add_term(&ctx->payload_sums, place.pos, term);

        const int width = pcm_sample_width(track.codec_id);
        const size_t frames = static_cast<size_t>(pkt->size / width / track.channels);
        auto* samples = reinterpret_cast<float*>(meter_pool_append(pool.get(), track.meter, frames));
        pcm_to_float(samples, pkt->data, static_cast<int>(frames) * track.channels * width, track.codec_id);
        if (const auto [p, m] = member_of[t]; p >= 0) {
            norm_programme& prog = ctx->programmes[static_cast<size_t>(p)];
            programme_scan& ps = scans[static_cast<size_t>(p)];
            inplace_norm_add_term(&prog.sums, place.pos, term);
            if (!ps.read_back) {
                programme_feed_push(&ps.feed, m, reinterpret_cast<const uint8_t*>(samples), frames);
                programme_scan_flush(&ps, pool.get(), prog.meter);
                // Tracks stored far apart (a whole track after another) would
                // have to wait here whole.
                if (ps.feed.queued_bytes > ctx->programme_queue_bytes) {
                    ps.read_back = true;
                    programme_feed_clear(&ps.feed);
                }
            }
        }
        track_frames[t] += frames;
        ctx->media_seconds =
            std::max(ctx->media_seconds, static_cast<double>(track_frames[t]) / track.sample_rate);
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
    if (const int err = inplace_norm_check_durations(ctx, track_frames); err != 0)
        return err;
    // The table is still in the order the demuxer delivered the payloads:
    // each track's in time order, which is how they are read back.
    for (size_t p = 0; p < scans.size(); ++p) {
        programme_scan& ps = scans[p];
        if (ps.read_back) {
            if (const int err = inplace_norm_read_back(ctx, ctx->programmes[p], &ps, pool.get()); err != 0)
                return err;
        } else {
            programme_feed_pad(&ps.feed);
            programme_scan_flush(&ps, pool.get(), ctx->programmes[p].meter);
        }
    }
    meter_pool_finish(pool.get());
    inplace_norm_order_payloads(ctx);
    return 0;
}

track_figures inplace_norm_figures(const inplace_norm_ctx* ctx, int32_t ordinal)
{
    return track_meter_figures(ctx->meters[ctx->tracks[static_cast<size_t>(ordinal)].meter]);
}

namespace {

// The largest true peak of a track's channels, linear.
double inplace_norm_track_peak(const inplace_norm_ctx* ctx, size_t t)
{
    double peak = 0;
    for (const channel_figures& ch : inplace_norm_figures(ctx, static_cast<int32_t>(t)).channels)
        peak = std::max(peak, ch.true_peak);
    return peak;
}

}  // namespace

programme_figures inplace_norm_programme_figures(const inplace_norm_ctx* ctx, size_t p)
{
    const norm_programme& prog = ctx->programmes[p];
    programme_figures f;
    const track_figures loudness = track_meter_figures(ctx->meters[prog.meter]);
    f.loudness = loudness.loudness;
    f.lra = loudness.lra;
    for (size_t t : prog.tracks)
        f.true_peak = std::max(f.true_peak, inplace_norm_track_peak(ctx, t));
    return f;
}

int inplace_norm_measure_print(const inplace_norm_ctx* ctx)
{
    fprintf(stderr, "%s\n", "inplace_norm_measure_print");
    for (size_t t = 0; t < ctx->tracks.size(); ++t) {
        const track_figures f = inplace_norm_figures(ctx, static_cast<int32_t>(t));
        fprintf(stderr, "stream #%d (%d):\n", static_cast<int>(t), ctx->tracks[t].stream);
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
    for (size_t p = 0; p < ctx->programmes.size(); ++p) {
        const programme_figures f = inplace_norm_programme_figures(ctx, p);
        fprintf(stderr, "programme %s:\n", ctx->programmes[p].name.c_str());
        fprintf(stderr, "\tloudness:  %.2f LUFS\n", f.loudness);
        fprintf(stderr, "\tLRA: %.2f LU\n", f.lra);
        fprintf(stderr, "\ttrue peak: %.2lf dBFS\n", qpm_ratio_to_db(f.true_peak));
    }
    return 0;
}

int inplace_norm_apply_gain(inplace_norm_ctx* ctx, const std::vector<double>& gain)
{
    for (norm_track& t : ctx->tracks) {
        const size_t s = static_cast<size_t>(t.stream);
        t.gain = s < gain.size() ? gain[s] : NAN;
    }
    return 0;
}

namespace {

// The index of the programme each track is in, -1 for a track on its own.
std::vector<int> inplace_norm_programme_of(const inplace_norm_ctx* ctx)
{
    std::vector<int> programme_of(ctx->tracks.size(), -1);
    for (size_t p = 0; p < ctx->programmes.size(); ++p)
        for (size_t t : ctx->programmes[p].tracks)
            programme_of[t] = static_cast<int>(p);
    return programme_of;
}

// The loudness a track's gain is computed from, and the true peak it must keep
// under the ceiling: its programme's, or its own.
void inplace_norm_gain_basis(const inplace_norm_ctx* ctx, const std::vector<int>& programme_of, size_t t,
                             double* loudness, double* peak)
{
    if (programme_of[t] >= 0) {
        const programme_figures f = inplace_norm_programme_figures(ctx, static_cast<size_t>(programme_of[t]));
        *loudness = f.loudness;
        *peak = f.true_peak;
    } else {
        *loudness = loudness_meter_integrated(*ctx->meters[ctx->tracks[t].meter].loudness);
        *peak = inplace_norm_track_peak(ctx, t);
    }
}

}  // namespace

bool inplace_norm_target_reachable(const inplace_norm_ctx* ctx, double target)
{
    const std::vector<int> programme_of = inplace_norm_programme_of(ctx);
    for (size_t t = 0; t < ctx->tracks.size(); ++t) {
        double loudness, peak;
        inplace_norm_gain_basis(ctx, programme_of, t, &loudness, &peak);
        if (std::isfinite(loudness) && !std::isfinite(exp10((target - loudness) / 20.0)))
            return false;
    }
    return true;
}

int inplace_norm_normalize(inplace_norm_ctx* ctx, const char* dst_path, double target)
{
    const std::vector<int> programme_of = inplace_norm_programme_of(ctx);
    const double ceiling = exp10(ctx->ceiling / 20.0);
    std::vector<double> gain(ctx->track_of_stream.size(), NAN);
    for (size_t t = 0; t < ctx->tracks.size(); ++t) {
        const int32_t s = ctx->tracks[t].stream;
        double& g = gain[static_cast<size_t>(s)];
        // A track of a programme takes the programme's loudness and peak, so
        // that all of the programme's tracks get one gain.
        double peak;
        inplace_norm_gain_basis(ctx, programme_of, t, &g, &peak);
        fprintf(stderr, "current amp[%d]=%lfdB\n", s, g);
        g = target - g;
        fprintf(stderr, "amplify amp[%d]=%lfdB\n", s, g);
        g = exp10(g / 20.0);
        fprintf(stderr, "multiply amp[%d]=%lf\n", s, g);
        if (!std::isfinite(g)) {
            // Its payloads are copied as they are.
            fprintf(stderr, "unchanged amp[%d]: no gated loudness (shorter than 400 ms, below -70 LUFS or silent)\n",
                    s);
            continue;
        }
        // The true peak after the gain is the measured one times the gain: the
        // largest gain that keeps it at the ceiling is their quotient.
        if (!std::isnan(ctx->ceiling) && peak > 0 && g * peak > ceiling) {
            const double lowered = ceiling / peak;
            fprintf(stderr, "ceiling amp[%d]=%lfdBTP lowered the gain by %lfdB\n", s, ctx->ceiling,
                    20.0 * std::log10(g / lowered));
            g = lowered;
        }
    }
    inplace_norm_apply_gain(ctx, gain);
    std::vector<double> gains;
    for (const norm_track& t : ctx->tracks)
        gains.push_back(t.gain);
    std::vector<int64_t> clipped;
    const int r = inplace_norm_write_gains(ctx, dst_path, gains, &clipped);
    for (size_t t = 0; t < clipped.size() && t < ctx->tracks.size(); ++t)
        ctx->tracks[t].clipped = clipped[t];
    return r;
}

int inplace_norm_normalize_auto(inplace_norm_ctx* ctx, const char* dst_path)
{
    return inplace_norm_normalize(ctx, dst_path, -23.0);
}
