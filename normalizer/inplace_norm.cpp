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
#include <utility>

#include "aes3_element.h"
#include "file_io.h"
#include "payload_reader.h"
#include "pcm_codec.h"
#include "progress.h"

namespace {

bool inplace_norm_is_pcm(AVCodecID id)
{
    return id == AV_CODEC_ID_PCM_S16LE || id == AV_CODEC_ID_PCM_S16BE || id == AV_CODEC_ID_PCM_S24LE ||
        id == AV_CODEC_ID_PCM_S24BE;
}

// A descriptor closed with its owner unless handed on.
struct owned_fd {
    int fd = -1;
    ~owned_fd()
    {
        if (fd >= 0)
            close(fd);
    }
    int release() { return std::exchange(fd, -1); }
};

// Says why FFmpeg could not open or probe the source; returns its error.
int inplace_norm_ffmpeg_failed(const char* path, int err)
{
    char msg[AV_ERROR_MAX_STRING_SIZE];
    av_strerror(err, msg, sizeof msg);
    fprintf(stderr, "Failed to open %s: %s\n", path, msg);
    return err;
}

// Opens the source for the demuxer, through the context's own reading of the
// plain descriptor. Returns 0 or a negative error.
int inplace_norm_open_container(const char* path, int fd, source_io_ptr* io, av_format_ptr* container)
{
    *io = source_io_open(fd);
    AVFormatContext* raw = avformat_alloc_context();
    if (!*io || !raw) {
        avformat_free_context(raw);
        return AVERROR(ENOMEM);
    }
    raw->pb = (*io)->avio;
    const int r = avformat_open_input(&raw, path, nullptr, nullptr);  // frees raw on failure
    if (r < 0)
        return r;
    container->reset(raw);
    return 0;
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
    owned_fd fd{open(path, O_RDONLY | O_CLOEXEC)};
    if (fd.fd < 0) {
        // The same code FFmpeg would have answered with.
        const int err = errno;
        fprintf(stderr, "Failed to open %s: %s\n", path, strerror(err));
        return -err;
    }
    source_io_ptr io;
    av_format_ptr container;
    int r = inplace_norm_open_container(path, fd.fd, &io, &container);
    if (r < 0)
        return inplace_norm_ffmpeg_failed(path, r);
    const AVInputFormat* fmt = container->iformat;
    fprintf(stderr, "%s:%d: name=[%s]\n", __FILE_NAME__, __LINE__, fmt->name);
    fprintf(stderr, "%s:%d: long_name=[%s]\n", __FILE_NAME__, __LINE__, fmt->long_name ? fmt->long_name : "");
    if (strcasecmp(fmt->name, "mxf") != 0) {
        fprintf(stderr, "Failed to open %s: not an MXF file (%s)\n", path, fmt->name);
        return -EOPNOTSUPP;
    }
    r = avformat_find_stream_info(container.get(), nullptr);
    if (r < 0)
        return inplace_norm_ffmpeg_failed(path, r);

    // From here on the demuxer reads the essence: payloads straight into
    // their packets, and whatever it steps over not at all (it would read up
    // to 32 KiB of it rather than seek).
    io->avio->direct = 1;

    auto* ctx = new inplace_norm_ctx;
    *ctx_out = ctx;
    ctx->path = path;
    ctx->fd = fd.release();
    ctx->io = std::move(io);
    ctx->container = std::move(container);
    AVFormatContext* fc = ctx->container.get();
    measurement_init(&ctx->measured, fc->nb_streams);
    // Only the selected tracks are read: the demuxer steps over everything
    // else (the video above all) without reading it.
    for (unsigned i = 0; i < fc->nb_streams; ++i) {
        const AVCodecParameters* par = fc->streams[i]->codecpar;
        fc->streams[i]->discard = AVDISCARD_ALL;
        if (par->codec_type != AVMEDIA_TYPE_AUDIO || !inplace_norm_is_pcm(par->codec_id))
            continue;
        const int channels = par->ch_layout.nb_channels;
        if (channels <= 0)
            fprintf(stderr, "Skipping stream #%u: PCM track without channels\n", i);
        else if (measurement_add_track(&ctx->measured, static_cast<int32_t>(i), par->codec_id, channels,
                                       par->sample_rate, TRACK_FLOAT) != 0)
            fprintf(stderr, "Skipping stream #%u: cannot measure %d channels at %d Hz\n", i, channels,
                    par->sample_rate);
        else
            fc->streams[i]->discard = AVDISCARD_DEFAULT;
    }
    return static_cast<int>(ctx->measured.tracks.size());
}

int inplace_norm_destroy(inplace_norm_ctx** ctx_ptr)
{
    if (!ctx_ptr || !*ctx_ptr)
        return -22;
    inplace_norm_ctx* ctx = *ctx_ptr;
    *ctx_ptr = nullptr;
    // The container goes before the reading it goes through.
    ctx->container.reset();
    ctx->io.reset();
    if (ctx->fd >= 0)
        close(ctx->fd);
    delete ctx;
    return 0;
}

int inplace_norm_meters_init(inplace_norm_ctx* ctx)
{
    // The meters are made with the records they belong to; this makes up any
    // that have been released since.
    measurement& m = ctx->measured;
    for (const audio_track& t : m.tracks) {
        if (m.meters.size() <= t.meter)
            m.meters.resize(t.meter + 1);
        if (!m.meters[t.meter].loudness)
            track_meter_init(&m.meters[t.meter], t.channels, t.sample_rate, t.format);
    }
    for (const audio_programme& p : m.programmes) {
        if (m.meters.size() <= p.meter)
            m.meters.resize(p.meter + 1);
        if (!m.meters[p.meter].loudness)
            track_meter_init_loudness(&m.meters[p.meter], p.channels, p.sample_rate, p.format);
    }
    return 0;
}

int inplace_norm_meters_free(inplace_norm_ctx* ctx)
{
    ctx->measured.pool.reset();
    ctx->measured.meters.clear();
    return 0;
}

int inplace_norm_set_programmes(inplace_norm_ctx* ctx, const std::vector<programme_group>& groups, std::string* why)
{
    const int r = measurement_set_programmes(&ctx->measured, groups, "PCM", why);
    if (r == 0) {
        ctx->programme_sums.resize(ctx->measured.programmes.size());
        ctx->groups.insert(ctx->groups.end(), groups.begin(), groups.end());
    }
    return r;
}

namespace {

// FFmpeg numbers a track's samples as it reads them: a packet that starts
// after the last one ended follows sound the demuxer skipped (damaged data it
// found its way past), which would keep its old level.
struct scan_gap {
    int64_t next = AV_NOPTS_VALUE;  // where the track's next packet starts, in frames
    int64_t skipped = 0;            // the first gap's frames, 0 while there is none
    uint64_t at = 0;                // the frames read before it
};

void scan_note_gap(const inplace_norm_ctx* ctx, const audio_track& track, const AVPacket& pkt, scan_gap* gap)
{
    if (pkt.pts == AV_NOPTS_VALUE) {
        gap->next = AV_NOPTS_VALUE;
        return;
    }
    const AVStream* st = ctx->container->streams[track.stream];
    const int64_t at = av_rescale_q(pkt.pts, st->time_base, AVRational{1, track.sample_rate});
    if (gap->skipped == 0 && gap->next != AV_NOPTS_VALUE && at > gap->next) {
        gap->skipped = at - gap->next;
        gap->at = track.frames;
    }
    gap->next = at + pkt.size / pcm_sample_width(track.codec_id) / track.channels;
}

// Every track must have delivered the audio the file declares for it. Less
// means the demuxer skipped part of it (a damaged length makes it jump over
// whatever follows, sound elements included), which would stay unscaled in
// the destination; unless the file itself ends early, a transfer cut short,
// whose destination is a copy of what is there; but not sound skipped before
// the end, which the gaps show in any file. Returns 0, or -22 with the
// diagnostic printed.
int inplace_norm_check_durations(const inplace_norm_ctx* ctx, const std::vector<scan_gap>& gaps)
{
    const bool skipped = std::any_of(gaps.begin(), gaps.end(), [](const scan_gap& g) { return g.skipped > 0; });
    bool complete_file = false, checked_end = false;
    for (size_t t = 0; t < ctx->measured.tracks.size(); ++t) {
        const audio_track& track = ctx->measured.tracks[t];
        const AVStream* st = ctx->container->streams[track.stream];
        if (st->duration == AV_NOPTS_VALUE || st->duration <= 0)
            continue;
        const int64_t declared = av_rescale_q(st->duration, st->time_base, AVRational{1, track.sample_rate});
        const int64_t missing = declared - static_cast<int64_t>(track.frames);
        // A file may declare its tracks' durations in whole edit units
        // (GStreamer's audio-only files round them up to 100 ms, and count
        // the partly filled elements a track that ends early may end with as
        // whole ones), and the demuxer skips whole sound elements: less than
        // the largest element, beside what the elements after it lack of its
        // size, is rounding.
        if (missing < static_cast<int64_t>(std::max<uint64_t>(track.largest_piece, 1) + track.short_tail))
            continue;
        if (!checked_end) {
            complete_file = payload_file_complete(ctx->fd);
            checked_end = true;
        }
        const double rate = track.sample_rate;
        if (complete_file) {
            fprintf(stderr,
                    "Failed to read %s: stream #%d lacks %.3f s of the %.3f s of audio the file declares "
                    "(damaged data was skipped)\n",
                    ctx->path.c_str(), track.stream, static_cast<double>(missing) / rate,
                    static_cast<double>(declared) / rate);
            return -EINVAL;
        }
        if (!skipped)
            fprintf(stderr,
                    "Stream #%d ends %.3f s before the %.3f s of audio the file declares: the file is cut short\n",
                    track.stream, static_cast<double>(missing) / rate, static_cast<double>(declared) / rate);
    }
    for (size_t t = 0; t < gaps.size(); ++t) {
        const audio_track& track = ctx->measured.tracks[t];
        if (gaps[t].skipped > 0) {
            fprintf(stderr,
                    "Failed to read %s: stream #%d skips %.3f s of audio at %.3f s (damaged data was skipped)\n",
                    ctx->path.c_str(), track.stream, static_cast<double>(gaps[t].skipped) / track.sample_rate,
                    static_cast<double>(gaps[t].at) / track.sample_rate);
            return -EINVAL;
        }
    }
    return 0;
}

// Where the scan stands, for the progress line.
struct scan_progress {
    progress_line line;
    double file_size = -1;
};

scan_progress scan_progress_begin(const inplace_norm_ctx* ctx)
{
    scan_progress p;
    progress_init(&p.line, ctx->show_progress ? stderr : nullptr, "Reading");
    struct stat st;
    if (fstat(ctx->fd, &st) == 0 && st.st_size > 0)
        p.file_size = static_cast<double>(st.st_size);
    return p;
}

// Notes where a payload lies and its fingerprint, for the destination pass and
// for reading its programme back.
void scan_record(inplace_norm_ctx* ctx, const audio_track& track, const located_payload& found)
{
    packet_table_append(&ctx->packets, found.place);
    payload_sums_add(&ctx->payload_sums, found.place.pos, found.fingerprint);
    if (track.programme >= 0)
        payload_sums_add(&ctx->programme_sums[static_cast<size_t>(track.programme)], found.place.pos,
                         found.fingerprint);
}

// Hands a packet's samples to track t's meters (and its programme's).
void scan_meter(inplace_norm_ctx* ctx, size_t t, const AVPacket& pkt)
{
    const audio_track& track = ctx->measured.tracks[t];
    const int width = pcm_sample_width(track.codec_id);
    const size_t frames = static_cast<size_t>(pkt.size / width / track.channels);
    auto* samples = reinterpret_cast<float*>(measurement_room(&ctx->measured, t, frames));
    pcm_to_float(samples, pkt.data, static_cast<int>(frames) * track.channels * width, track.codec_id);
    measurement_commit(&ctx->measured, t, frames);
}

void scan_progress_update(scan_progress* p, inplace_norm_ctx* ctx, const audio_track& track,
                          const located_payload& found)
{
    ctx->media_seconds = std::max(ctx->media_seconds, static_cast<double>(track.frames) / track.sample_rate);
    progress_update(&p->line,
                    p->file_size > 0 ? static_cast<double>(found.place.pos + found.place.size) / p->file_size : -1,
                    ctx->media_seconds);
}

// Meters the programmes whose tracks lie too far apart to be lined up during
// the scan by reading their payloads back from the source, checked against
// the scan's fingerprints. Returns 0, or -errno with the diagnostic printed.
int scan_read_back_programmes(inplace_norm_ctx* ctx)
{
    for (size_t p = 0; p < ctx->measured.programmes.size(); ++p) {
        const audio_programme& prog = ctx->measured.programmes[p];
        if (!prog.read_back)
            continue;
        // The table is still in the order the demuxer delivered the
        // payloads: each track's in time order.
        payload_reader reader;
        payload_reader_init(&reader, ctx, prog.tracks, nullptr);
        if (const int err = measurement_read_back(&ctx->measured, p, &reader); err != 0)
            return err;
        if (!payload_reader_unchanged(reader, ctx->programme_sums[p])) {
            fprintf(stderr, "Failed to read %s: the file changed during the run\n", ctx->path.c_str());
            return -EIO;
        }
    }
    return 0;
}

}  // namespace

int inplace_norm_read(inplace_norm_ctx* ctx)
{
    av_packet_ptr pkt(av_packet_alloc());
    if (!pkt || measurement_start(&ctx->measured) != 0)
        return AVERROR(ENOMEM);
    payload_locator locator{ctx->fd, ctx->io.get(), {}, -1, -1, {}, false};
    scan_progress progress = scan_progress_begin(ctx);
    std::vector<scan_gap> gaps(ctx->measured.tracks.size());
    int r;
    while ((r = av_read_frame(ctx->container.get(), pkt.get())) >= 0) {
        const size_t s = static_cast<size_t>(pkt->stream_index);
        const int32_t t = s < ctx->measured.track_of_stream.size() ? ctx->measured.track_of_stream[s] : -1;
        if (t >= 0) {
            const audio_track& track = ctx->measured.tracks[static_cast<size_t>(t)];
            located_payload found;
            if (!payload_locator_find(&locator, *pkt, track.channels, track.codec_id, &found)) {
                progress_clear(&progress.line);
                inplace_norm_print_not_found(*pkt);
                if (locator.cut_inside)
                    fprintf(stderr,
                            "The file ends inside this D-10 sound element: cut short, it cannot be read back "
                            "whole\n");
                return -EINVAL;
            }
            scan_note_gap(ctx, track, *pkt, &gaps[static_cast<size_t>(t)]);
            scan_record(ctx, track, found);
            scan_meter(ctx, static_cast<size_t>(t), *pkt);
            scan_progress_update(&progress, ctx, track, found);
        }
        av_packet_unref(pkt.get());
    }
    progress_clear(&progress.line);
    if (r != AVERROR_EOF) {
        char msg[AV_ERROR_MAX_STRING_SIZE];
        av_strerror(r, msg, sizeof msg);
        fprintf(stderr, "Failed to read %s: %s\n", ctx->path.c_str(), msg);
        return r;
    }
    if (const int s = payload_locator_open_clip(&locator); s >= 0) {
        fprintf(stderr, "Failed to read %s: the sound of stream #%d ends where no KLV key follows (a damaged length)\n",
                ctx->path.c_str(), s);
        return -EINVAL;
    }
    if ((r = inplace_norm_check_durations(ctx, gaps)) != 0 || (r = scan_read_back_programmes(ctx)) != 0)
        return r;
    measurement_finish(&ctx->measured);
    inplace_norm_order_payloads(ctx);
    return 0;
}

track_figures inplace_norm_figures(const inplace_norm_ctx* ctx, int32_t ordinal)
{
    return measurement_track_figures(ctx->measured, static_cast<size_t>(ordinal));
}

programme_figures inplace_norm_programme_figures(const inplace_norm_ctx* ctx, size_t p)
{
    return measurement_programme_figures(ctx->measured, p);
}

int inplace_norm_measure_print(const inplace_norm_ctx* ctx)
{
    fprintf(stderr, "%s\n", "inplace_norm_measure_print");
    for (size_t t = 0; t < ctx->measured.tracks.size(); ++t) {
        const track_figures f = inplace_norm_figures(ctx, static_cast<int32_t>(t));
        fprintf(stderr, "stream #%d (%d):\n", static_cast<int>(t), ctx->measured.tracks[t].stream);
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
    for (size_t p = 0; p < ctx->measured.programmes.size(); ++p) {
        const programme_figures f = inplace_norm_programme_figures(ctx, p);
        fprintf(stderr, "programme %s:\n", ctx->measured.programmes[p].name.c_str());
        fprintf(stderr, "\tloudness:  %.2f LUFS\n", f.loudness);
        fprintf(stderr, "\tLRA: %.2f LU\n", f.lra);
        fprintf(stderr, "\ttrue peak: %.2lf dBFS\n", qpm_ratio_to_db(f.true_peak));
    }
    return 0;
}

gain_choice inplace_norm_choose_gain(double loudness, double true_peak, double target, double ceiling_dbtp)
{
    gain_choice g;
    g.loudness = loudness;
    g.amplify_db = target - loudness;
    g.factor = exp10(g.amplify_db / 20.0);
    // Without a finite loudness there is nothing to scale by: the payloads
    // stay as they are.
    g.applied = std::isfinite(loudness) ? g.factor : NAN;
    // The true peak after the gain is the measured one times the gain: the
    // largest gain that keeps it at the ceiling is their quotient.
    const double ceiling = exp10(ceiling_dbtp / 20.0);
    if (std::isfinite(g.applied) && !std::isnan(ceiling_dbtp) && true_peak > 0 && g.factor * true_peak > ceiling) {
        g.applied = ceiling / true_peak;
        g.lowered_db = 20.0 * std::log10(g.factor / g.applied);
    }
    return g;
}

namespace {

// The loudness a track's gain is computed from, and the true peak it must keep
// under the ceiling: its programme's, so that all of a programme's tracks get
// one gain, or its own.
void inplace_norm_gain_basis(const inplace_norm_ctx* ctx, size_t t, double* loudness, double* peak)
{
    const audio_track& track = ctx->measured.tracks[t];
    if (track.programme >= 0) {
        const programme_figures f = inplace_norm_programme_figures(ctx, static_cast<size_t>(track.programme));
        *loudness = f.loudness;
        *peak = f.true_peak;
    } else {
        *loudness = loudness_meter_integrated(*ctx->measured.meters[track.meter].loudness);
        *peak = measurement_track_peak(ctx->measured, t);
    }
}

}  // namespace

bool inplace_norm_target_reachable(const inplace_norm_ctx* ctx, double target)
{
    for (size_t t = 0; t < ctx->measured.tracks.size(); ++t) {
        double loudness, peak;
        inplace_norm_gain_basis(ctx, t, &loudness, &peak);
        // A factor of 0 (a target thousands of decibels down) would only
        // silence the track.
        const double factor = inplace_norm_choose_gain(loudness, peak, target, NAN).factor;
        if (std::isfinite(loudness) && !(std::isfinite(factor) && factor > 0))
            return false;
    }
    return true;
}

int inplace_norm_apply_gain(inplace_norm_ctx* ctx, const std::vector<double>& gain)
{
    ctx->gains.clear();
    for (const audio_track& t : ctx->measured.tracks) {
        const size_t s = static_cast<size_t>(t.stream);
        ctx->gains.push_back(s < gain.size() ? gain[s] : NAN);
    }
    return 0;
}

namespace {

// A unit's name in the report: "programme 1-2", or "stream #0 (1)" for the
// track of ordinal 0, stream 1.
std::string inplace_norm_unit_name(const measurement& m, const measured_unit& u)
{
    if (u.programme >= 0)
        return "programme " + m.programmes[static_cast<size_t>(u.programme)].name;
    return "stream #" + std::to_string(u.track) + " (" + std::to_string(m.tracks[u.track].stream) + ")";
}

// A measurement of the same tracks and programmes as the scan's, for what the
// destination holds.
int inplace_norm_result_measurement(const inplace_norm_ctx* ctx, measurement* result)
{
    const measurement& m = ctx->measured;
    measurement_init(result, m.track_of_stream.size());
    result->threads = m.threads;
    result->programme_queue_bytes = m.programme_queue_bytes;
    for (const audio_track& t : m.tracks)
        if (measurement_add_track(result, t.stream, t.codec_id, t.channels, t.sample_rate, t.format) != 0)
            return -EINVAL;
    std::string why;
    return measurement_set_programmes(result, ctx->groups, "PCM", &why);
}

// The figures of what the destination holds: a block per programme, or per
// track of no programme, in stream order.
void inplace_norm_print_result(const inplace_norm_ctx* ctx)
{
    for (const measured_unit& u : measurement_units(ctx->written)) {
        fprintf(stderr, "result %s:\n", inplace_norm_unit_name(ctx->written, u).c_str());
        fprintf(stderr, "\tloudness:  %.2f LUFS\n", u.figures.loudness);
        fprintf(stderr, "\tLRA: %.2f LU\n", u.figures.lra);
        fprintf(stderr, "\ttrue peak: %.2lf dBFS\n", qpm_ratio_to_db(u.figures.true_peak));
    }
}

// The limiter's line for track t, after its gain lines, and one more when its
// unit missed the target.
void inplace_norm_print_limit(const inplace_norm_ctx* ctx, const std::vector<limit_unit>& units, size_t t)
{
    const int32_t s = ctx->measured.tracks[t].stream;
    for (const limit_unit& u : units) {
        if (std::find(u.tracks.begin(), u.tracks.end(), t) == u.tracks.end() || !std::isfinite(u.gain))
            continue;
        fprintf(stderr,
                "limit amp[%d]=%lfdBTP raised the gain by %lfdB; reduced %.2f%% of the samples by over 0.1dB, "
                "at most by %.2fdB\n",
                s, ctx->ceiling, u.report.raised_db, 100.0 * u.report.reduced_share, u.report.deepest_db);
        if (std::isfinite(u.report.missed_peak_db))
            fprintf(stderr, "limit amp[%d]: ceiling not held: the limited true peak is %.2f dBTP\n", s,
                    u.report.missed_peak_db);
        else if (u.report.limited && !u.report.reached)
            fprintf(stderr, "limit amp[%d]: target not reached: the limited loudness is %.2f LUFS\n", s,
                    u.report.loudness);
    }
}

}  // namespace

int inplace_norm_normalize(inplace_norm_ctx* ctx, const char* dst_path, double target)
{
    const measurement& m = ctx->measured;
    std::vector<double> gain(m.track_of_stream.size(), NAN);
    std::vector<gain_choice> choices;
    for (size_t t = 0; t < m.tracks.size(); ++t) {
        double loudness, peak;
        inplace_norm_gain_basis(ctx, t, &loudness, &peak);
        // Under the limiter the static gain reaches the target whatever the
        // peaks: the envelope keeps them at the ceiling.
        choices.push_back(inplace_norm_choose_gain(loudness, peak, target, ctx->limit ? NAN : ctx->ceiling));
        gain[static_cast<size_t>(m.tracks[t].stream)] = choices.back().applied;
    }
    inplace_norm_apply_gain(ctx, gain);
    std::vector<track_gain> gains(m.tracks.size());
    for (size_t t = 0; t < m.tracks.size(); ++t)
        gains[t].gain = ctx->gains[t];
    std::vector<limit_unit> units;
    if (ctx->limit) {
        if (const int err = inplace_norm_limit(ctx, target, ctx->ceiling, &gains, &units); err != 0)
            return err;
    }
    for (size_t t = 0; t < m.tracks.size(); ++t) {
        const int32_t s = m.tracks[t].stream;
        const gain_choice& g = choices[t];
        fprintf(stderr, "current amp[%d]=%lfdB\n", s, g.loudness);
        fprintf(stderr, "amplify amp[%d]=%lfdB\n", s, g.amplify_db);
        fprintf(stderr, "multiply amp[%d]=%lf\n", s, g.factor);
        if (!std::isfinite(g.applied))
            // Its payloads are copied as they are.
            fprintf(stderr, "unchanged amp[%d]: no gated loudness (shorter than 400 ms, below -70 LUFS or silent)\n",
                    s);
        else if (g.lowered_db > 0)
            fprintf(stderr, "ceiling amp[%d]=%lfdBTP lowered the gain by %lfdB\n", s, ctx->ceiling, g.lowered_db);
        else if (ctx->limit)
            inplace_norm_print_limit(ctx, units, t);
    }
    // What the destination holds is metered as it is written when a ceiling,
    // the limiter or a check asks what came of the gains.
    const bool meter_result = ctx->limit || !std::isnan(ctx->ceiling) || ctx->meter_result;
    if (meter_result && inplace_norm_result_measurement(ctx, &ctx->written) != 0)
        return -EINVAL;
    const int r = inplace_norm_write_tracks(ctx, dst_path, gains, meter_result ? &ctx->written : nullptr);
    if (r == 0 && meter_result)
        inplace_norm_print_result(ctx);
    return r;
}

bool inplace_norm_check(const measurement& m, const delivery_spec& spec)
{
    bool all = true;
    for (const measured_unit& u : measurement_units(m)) {
        const std::vector<std::string> reasons = delivery_check(spec, u.figures.loudness, u.figures.true_peak);
        fprintf(stderr, "check %s %s: %s\n", spec.name.c_str(), inplace_norm_unit_name(m, u).c_str(),
                delivery_verdict(reasons).c_str());
        all = all && reasons.empty();
    }
    return all;
}

int inplace_norm_normalize_auto(inplace_norm_ctx* ctx, const char* dst_path)
{
    return inplace_norm_normalize(ctx, dst_path, -23.0);
}
