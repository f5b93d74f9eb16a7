#include "lumescope.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "av_ptr.h"
#include "dst_file.h"
#include "loudness_plot.h"
#include "programme.h"
#include "progress.h"
#include "track_meter.h"
#include "utf8.h"

namespace {

// One selected audio stream with its decoder.
struct meter_track {
    int stream_index = 0;
    av_codec_ptr codec;
    int channels = 0;
    int sample_rate = 0;
    AVSampleFormat format = AV_SAMPLE_FMT_NONE;
    track_sample_format meter_format = TRACK_FLOAT;
    size_t meter = 0;    // its meter in the table the metering threads work on
    int programme = -1;  // the programme it belongs to, if any
    size_t member = 0;   // its place among the programme's tracks
    bool mismatch_reported = false;
    double seconds = 0;  // audio metered so far
};

// Tracks measured together: their channels, in stream order, as one signal.
struct meter_programme {
    std::string name;            // the group as written, "1-2"
    std::vector<size_t> tracks;  // ordinals, ascending
    int channels = 0;
    int sample_rate = 0;
    track_sample_format format = TRACK_FLOAT;  // one all its tracks' samples convert to exactly
    size_t meter = 0;
    programme_feed feed;
    uint64_t fed_frames = 0;  // frames its meter has seen
    bool read_back = false;   // its tracks lie too far apart in the input to be lined up in memory
};

// What a run of the meter works on.
struct scope_run {
    const char* path = nullptr;
    std::vector<meter_track> tracks;
    std::vector<int> track_of_stream;  // ordinal of each stream's track, -1 when not selected
    std::vector<meter_programme> programmes;
    std::vector<track_meter> meters;   // every track's and every programme's
    size_t programme_queue_bytes = 0;
    std::vector<uint8_t> converted;    // samples of a track in its programme's format
};

enum class report_mode { text, json };

void lumescope_usage()
{
    fprintf(stderr, "Usage:\n\tlumescope [-t|-j] <input file>\n\n");
}

const char* lumescope_fmt_name(int fmt)
{
    const char* name = av_get_sample_fmt_name(static_cast<AVSampleFormat>(fmt));
    return name ? name : "none";
}

// The metering format of a decoder's sample format, or false when it is not
// supported.
bool lumescope_metering_format(AVSampleFormat f, track_sample_format* out)
{
    switch (av_get_packed_sample_fmt(f)) {
    case AV_SAMPLE_FMT_S16: *out = TRACK_S16; return true;
    case AV_SAMPLE_FMT_S32: *out = TRACK_S32; return true;
    case AV_SAMPLE_FMT_FLT: *out = TRACK_FLOAT; return true;
    default: return false;
    }
}

// Opens a decoder for stream i and, when its sample format is supported,
// makes it a track with its meter. Prints the found-track line or why the
// stream is skipped.
// An opened decoder for the stream, or null.
av_codec_ptr lumescope_open_decoder(const AVStream* st, const AVCodec* decoder)
{
    av_codec_ptr codec(avcodec_alloc_context3(decoder));
    // The decoder needs the stream's time base to place the samples that
    // encoders mark for skipping (MP3, Opus and AAC priming and padding).
    if (codec)
        codec->pkt_timebase = st->time_base;
    if (!codec || avcodec_parameters_to_context(codec.get(), st->codecpar) < 0 ||
        avcodec_open2(codec.get(), decoder, nullptr) < 0)
        return nullptr;
    return codec;
}

bool lumescope_select(const AVStream* st, int i, meter_track* out, track_meter* meter)
{
    const AVCodec* decoder = avcodec_find_decoder(st->codecpar->codec_id);
    if (!decoder || st->codecpar->codec_type != AVMEDIA_TYPE_AUDIO)
        return false;
    av_codec_ptr codec = lumescope_open_decoder(st, decoder);
    if (!codec) {
        fprintf(stderr, "Failed to open codec for stream #%d\n", i);
        return false;
    }
    const int channels = codec->ch_layout.nb_channels;
    fprintf(stderr, "Found audio track #%d, channels=%d, sample_rate=%d, sample_fmt=[%s], codec_name=[%s][%s]\n", i,
            channels, codec->sample_rate, lumescope_fmt_name(codec->sample_fmt), decoder->name,
            decoder->long_name ? decoder->long_name : "");
    track_sample_format format;
    if (!lumescope_metering_format(codec->sample_fmt, &format)) {
        fprintf(stderr, "Not supported sample format [%s]\n", lumescope_fmt_name(codec->sample_fmt));
        return false;
    }
    if (channels <= 0) {
        fprintf(stderr, "Skipping stream #%d: audio track without channels\n", i);
        return false;
    }
    if (track_meter_init(meter, channels, codec->sample_rate, format) != 0) {
        fprintf(stderr, "Skipping stream #%d: cannot measure %d channels at %d Hz\n", i, channels,
                codec->sample_rate);
        return false;
    }
    meter->silence_non_finite = true;
    out->stream_index = i;
    out->channels = channels;
    out->sample_rate = codec->sample_rate;
    out->format = codec->sample_fmt;
    out->meter_format = format;
    out->codec = std::move(codec);
    return true;
}

// Hands frames to a programme's meter once all its tracks have them.
void lumescope_programme_flush(meter_programme& p, meter_pool* pool)
{
    const size_t ready = programme_feed_ready(p.feed);
    if (ready == 0)
        return;
    programme_feed_take(&p.feed, ready, meter_pool_append(pool, p.meter, ready));
    p.fed_frames += ready;
}

// Queues a track's interleaved samples for its programme, in the programme's
// format: 16-bit samples become 32-bit ones exactly (the loudness library
// scales both to the same value), integers become floats only beside floats.
void lumescope_programme_push(scope_run& run, meter_programme& p, const meter_track& t, const uint8_t* samples,
                              size_t frames)
{
    const size_t n = frames * static_cast<size_t>(t.channels);
    if (t.meter_format != p.format) {
        run.converted.resize(n * 4);
        uint8_t* out = run.converted.data();
        for (size_t i = 0; i < n; ++i, out += 4) {
            if (t.meter_format == TRACK_S16) {
                int16_t v;
                std::memcpy(&v, samples + i * 2, 2);
                if (p.format == TRACK_S32) {
                    const int32_t w = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint16_t>(v)) << 16);
                    std::memcpy(out, &w, 4);
                } else {
                    const float f = static_cast<float>(v) / 32768.0f;
                    std::memcpy(out, &f, 4);
                }
            } else {  // 32-bit integers beside floats
                int32_t v;
                std::memcpy(&v, samples + i * 4, 4);
                const float f = static_cast<float>(static_cast<double>(v) / 2147483648.0);
                std::memcpy(out, &f, 4);
            }
        }
        samples = run.converted.data();
    }
    programme_feed_push(&p.feed, t.member, samples, frames);
}

// Writes a decoded frame of the track's format to out, interleaved.
void lumescope_interleave(const meter_track& t, const AVFrame* f, uint8_t* out)
{
    const size_t frames = static_cast<size_t>(f->nb_samples);
    const size_t k = static_cast<size_t>(t.channels);
    const size_t w = static_cast<size_t>(av_get_bytes_per_sample(t.format));
    if (!av_sample_fmt_is_planar(t.format)) {
        std::memcpy(out, f->extended_data[0], frames * k * w);
        return;
    }
    for (size_t s = 0; s < frames; ++s)
        for (size_t c = 0; c < k; ++c, out += w)
            std::memcpy(out, f->extended_data[c] + s * w, w);
}

// Hands one decoded frame to the track's meters, interleaved, and to its
// programme's.
void lumescope_feed(scope_run& run, meter_track& t, meter_pool* pool, const AVFrame* f)
{
    if (f->ch_layout.nb_channels != t.channels || f->format != t.format) {
        if (!t.mismatch_reported)
            fprintf(stderr,
                    "Skipping audio of stream #%d: decoded frames of %d channels of %s differ from the track's %d "
                    "channels of %s\n",
                    t.stream_index, f->ch_layout.nb_channels, lumescope_fmt_name(f->format), t.channels,
                    lumescope_fmt_name(t.format));
        t.mismatch_reported = true;
        return;
    }
    if (f->nb_samples <= 0)
        return;
    const size_t frames = static_cast<size_t>(f->nb_samples);
    t.seconds += static_cast<double>(frames) / t.sample_rate;
    uint8_t* const start = meter_pool_append(pool, t.meter, frames);
    lumescope_interleave(t, f, start);
    if (t.programme < 0)
        return;
    meter_programme& p = run.programmes[static_cast<size_t>(t.programme)];
    if (p.read_back)
        return;
    lumescope_programme_push(run, p, t, start, frames);
    lumescope_programme_flush(p, pool);
    // Tracks stored far apart would have to wait here whole.
    if (p.feed.queued_bytes > run.programme_queue_bytes) {
        p.read_back = true;
        programme_feed_clear(&p.feed);
    }
}

// Sends one packet (or, with null, the end of the stream) to the track's decoder
// and meters every frame it yields. Returns false on a decoding error.
bool lumescope_decode(scope_run& run, meter_track& t, meter_pool* pool, const AVPacket* pkt, AVFrame* frame)
{
    int r = avcodec_send_packet(t.codec.get(), pkt);
    if (r < 0 && r != AVERROR_EOF)
        return false;
    for (;;) {
        r = avcodec_receive_frame(t.codec.get(), frame);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF)
            return true;
        if (r < 0)
            return false;
        lumescope_feed(run, t, pool, frame);
        av_frame_unref(frame);
    }
}

// One track of a programme, decoded again from an opening of the input of its
// own, so that the programme's tracks can be read side by side however far
// apart the input stores them.
struct read_back_track {
    av_format_ptr input;
    av_codec_ptr codec;
    uint64_t skip_frames = 0;  // frames the programme's meter has already seen
};

// A programme's tracks, each decoded again from its own opening of the input.
struct decoder_read_back {
    scope_run* run = nullptr;
    meter_programme* prog = nullptr;
    std::vector<read_back_track> tracks;
    av_packet_ptr pkt;
    av_frame_ptr frame;
    std::vector<uint8_t> buf;
};

// Queues the frames a read-back track's decoder yields, after those already metered.
void lumescope_read_back_frames(decoder_read_back* rb, size_t m)
{
    scope_run& run = *rb->run;
    meter_programme& p = *rb->prog;
    const meter_track& t = run.tracks[p.tracks[m]];
    read_back_track& track = rb->tracks[m];
    AVFrame* frame = rb->frame.get();
    while (avcodec_receive_frame(track.codec.get(), frame) >= 0) {
        if (frame->ch_layout.nb_channels == t.channels && frame->format == t.format && frame->nb_samples > 0) {
            size_t frames = static_cast<size_t>(frame->nb_samples);
            const size_t frame_bytes =
                static_cast<size_t>(t.channels) * static_cast<size_t>(av_get_bytes_per_sample(t.format));
            rb->buf.resize(frames * frame_bytes);
            lumescope_interleave(t, frame, rb->buf.data());
            const size_t skip = static_cast<size_t>(std::min<uint64_t>(track.skip_frames, frames));
            track.skip_frames -= skip;
            frames -= skip;
            if (frames > 0)
                lumescope_programme_push(run, p, t, rb->buf.data() + skip * frame_bytes, frames);
        }
        av_frame_unref(frame);
    }
}

// Decodes the next packet of member m of the programme into the feed. Returns
// 1, or 0 once the member's input has ended and its decoder is drained.
int programme_source_read(decoder_read_back* rb, size_t m, programme_feed*)
{
    const meter_track& t = rb->run->tracks[rb->prog->tracks[m]];
    read_back_track& track = rb->tracks[m];
    AVPacket* pkt = rb->pkt.get();
    if (av_read_frame(track.input.get(), pkt) < 0) {
        avcodec_send_packet(track.codec.get(), nullptr);
        lumescope_read_back_frames(rb, m);
        return 0;
    }
    if (pkt->stream_index == t.stream_index && avcodec_send_packet(track.codec.get(), pkt) >= 0)
        lumescope_read_back_frames(rb, m);
    av_packet_unref(pkt);
    return 1;
}

// Meters the rest of a programme whose tracks could not be lined up in one
// pass: each track is decoded again from its own opening of the input, a
// little of every track at a time. Returns false when the input cannot be
// opened again (a stream that is gone, say).
bool lumescope_read_back(scope_run& run, meter_programme& p, meter_pool* pool)
{
    decoder_read_back rb;
    rb.run = &run;
    rb.prog = &p;
    rb.tracks.resize(p.tracks.size());
    for (size_t m = 0; m < p.tracks.size(); ++m) {
        const meter_track& t = run.tracks[p.tracks[m]];
        AVFormatContext* raw = nullptr;
        if (avformat_open_input(&raw, run.path, nullptr, nullptr) != 0)
            return false;
        rb.tracks[m].input.reset(raw);
        if (avformat_find_stream_info(raw, nullptr) < 0 || static_cast<unsigned>(t.stream_index) >= raw->nb_streams)
            return false;
        for (unsigned i = 0; i < raw->nb_streams; ++i)
            raw->streams[i]->discard = static_cast<int>(i) == t.stream_index ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
        const AVStream* st = raw->streams[t.stream_index];
        const AVCodec* decoder = avcodec_find_decoder(st->codecpar->codec_id);
        rb.tracks[m].codec = decoder ? lumescope_open_decoder(st, decoder) : nullptr;
        if (!rb.tracks[m].codec)
            return false;
        rb.tracks[m].skip_frames = p.fed_frames;
    }
    programme_feed_clear(&p.feed);
    rb.pkt.reset(av_packet_alloc());
    rb.frame.reset(av_frame_alloc());
    if (!rb.pkt || !rb.frame)
        return false;
    while (programme_read_back_round(&p.feed, &rb) > 0)
        lumescope_programme_flush(p, pool);
    return true;
}

// The largest true peak of a programme's channels, linear.
double lumescope_programme_peak(const scope_run& run, const meter_programme& p)
{
    double peak = 0;
    for (size_t j : p.tracks)
        for (const channel_figures& ch : track_meter_figures(run.meters[run.tracks[j].meter]).channels)
            peak = std::max(peak, ch.true_peak);
    return peak;
}

void lumescope_print_text(FILE* out, const scope_run& run)
{
    fprintf(out, "filename: %s\n", run.path);
    for (const meter_track& t : run.tracks) {
        const track_figures f = track_meter_figures(run.meters[t.meter]);
        fprintf(out, "\tidx #%d\n", t.stream_index);
        fprintf(out, "\t\tloudness  %.2f LUFS\n", f.loudness);
        fprintf(out, "\t\tLRA %.2f LU\n", f.lra);
        for (size_t c = 0; c < f.channels.size(); ++c) {
            const channel_figures& ch = f.channels[c];
            const int ci = static_cast<int>(c);
            fprintf(out, "\t\tsample peak [%d] %.2lf dBFS\n", ci, qpm_ratio_to_db(ch.sample_peak));
            fprintf(out, "\t\ttrue peak [%d] %.2lf dBFS\n", ci, qpm_ratio_to_db(ch.true_peak));
            fprintf(out, "\t\tqpm0 [%d] %.2lf dBFS\n", ci, ch.qpm_db[0]);
            fprintf(out, "\t\tqpm5 [%d] %.2lf dBFS\n", ci, ch.qpm_db[1]);
            fprintf(out, "\t\tqpm10 [%d] %.2lf dBFS\n", ci, ch.qpm_db[2]);
            fprintf(out, "\t\tqpm200 [%d] %.2lf dBFS\n", ci, ch.qpm_db[3]);
        }
    }
    for (const meter_programme& p : run.programmes) {
        const track_figures f = track_meter_figures(run.meters[p.meter]);
        fprintf(out, "programme %s:\n", p.name.c_str());
        fprintf(out, "\tloudness:  %.2f LUFS\n", f.loudness);
        fprintf(out, "\tLRA: %.2f LU\n", f.lra);
        fprintf(out, "\ttrue peak: %.2lf dBFS\n", qpm_ratio_to_db(lumescope_programme_peak(run, p)));
    }
}

// The text as the contents of a JSON string: quotes, backslashes and control
// characters escaped, and each byte that does not belong to well-formed UTF-8
// as U+FFFD, so that the document is UTF-8, as JSON must be, for any name.
std::string lumescope_json_escape(std::string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size();) {
        char32_t cp;
        const size_t n = utf8_decode(text, i, &cp);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        if (cp == '"' || cp == '\\') {
            out += '\\';
            out += static_cast<char>(cp);
        } else if (cp < 0x20) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(cp));
            out += esc;
        } else {
            out.append(text.substr(i, n));
        }
        i += n;
    }
    return out;
}

// The true peaks every 100 ms of a programme: the largest of its tracks'.
std::vector<float> lumescope_programme_peaks(const scope_run& run, const meter_programme& p)
{
    std::vector<float> peaks;
    for (size_t j : p.tracks) {
        const std::vector<float>& tp = run.meters[run.tracks[j].meter].series->true_peak;
        if (peaks.size() < tp.size())
            peaks.resize(tp.size(), 0.0f);
        for (size_t i = 0; i < tp.size(); ++i)
            peaks[i] = std::max(peaks[i], tp[i]);
    }
    return peaks;
}

// A series as the member of a JSON object, on one line, its values strings
// like the report's other figures.
void lumescope_print_series(FILE* out, const char* key, const std::vector<float>& values, bool last)
{
    fprintf(out, "            \"%s\": [", key);
    for (size_t i = 0; i < values.size(); ++i)
        fprintf(out, i ? ", \"%.2f\"" : "\"%.2f\"", static_cast<double>(values[i]));
    fprintf(out, last ? "]\n" : "],\n");
}

void lumescope_print_json_series(FILE* out, const track_meter& m)
{
    lumescope_print_series(out, "momentary", m.series->momentary, false);
    lumescope_print_series(out, "short_term", m.series->short_term, true);
}

void lumescope_print_json(FILE* out, const scope_run& run, bool series)
{
    fprintf(out, "{\n");
    fprintf(out, "    \"filename\": \"%s\",\n", lumescope_json_escape(run.path).c_str());
    fprintf(out, "    \"audio_cnt\": \"%d\",\n", static_cast<int>(run.tracks.size()));
    fprintf(out, "    \"audio_tracks\":\n");
    fprintf(out, "    [\n");
    for (size_t j = 0; j < run.tracks.size(); ++j) {
        const track_figures f = track_meter_figures(run.meters[run.tracks[j].meter]);
        if (j > 0)
            fprintf(out, "        ,\n");
        fprintf(out, "        {\n");
        fprintf(out, "            \"idx\": \"%d\",\n", run.tracks[j].stream_index);
        fprintf(out, "            \"loudness\": \"%.2f\",\n", f.loudness);
        fprintf(out, "            \"LRA\": \"%.2f\",\n", f.lra);
        fprintf(out, "            \"channels\": \n");
        fprintf(out, "            [\n");
        for (size_t c = 0; c < f.channels.size(); ++c) {
            const channel_figures& ch = f.channels[c];
            if (c > 0)
                fprintf(out, "                ,\n");
            fprintf(out, "                {\n");
            fprintf(out, "                    \"sample_peak\": \"%.2lf\",\n", ch.sample_peak);
            fprintf(out, "                    \"true_peak\": \"%.2lf\",\n", ch.true_peak);
            fprintf(out, "                    \"qpm0\": \"%.2lf\",\n", ch.qpm_db[0]);
            fprintf(out, "                    \"qpm5\": \"%.2lf\",\n", ch.qpm_db[1]);
            fprintf(out, "                    \"qpm10\": \"%.2lf\",\n", ch.qpm_db[2]);
            fprintf(out, "                    \"qpm200\": \"%.2lf\"\n", ch.qpm_db[3]);
            fprintf(out, "                }\n");
        }
        if (series) {
            fprintf(out, "            ],\n");
            lumescope_print_json_series(out, run.meters[run.tracks[j].meter]);
        } else {
            fprintf(out, "            ]\n");
        }
        fprintf(out, "        }\n");
    }
    if (run.programmes.empty()) {
        fprintf(out, "    ]\n");
        fprintf(out, "}\n");
        return;
    }
    // Programmes follow the tracks only when they were asked for, in the
    // tracks' layout; the true peak is linear like the channels'.
    fprintf(out, "    ],\n");
    fprintf(out, "    \"programmes\":\n");
    fprintf(out, "    [\n");
    for (size_t i = 0; i < run.programmes.size(); ++i) {
        const meter_programme& p = run.programmes[i];
        const track_figures f = track_meter_figures(run.meters[p.meter]);
        if (i > 0)
            fprintf(out, "        ,\n");
        fprintf(out, "        {\n");
        fprintf(out, "            \"streams\": \"%s\",\n", p.name.c_str());
        fprintf(out, "            \"loudness\": \"%.2f\",\n", f.loudness);
        fprintf(out, "            \"LRA\": \"%.2f\",\n", f.lra);
        fprintf(out, series ? "            \"true_peak\": \"%.2lf\",\n" : "            \"true_peak\": \"%.2lf\"\n",
                lumescope_programme_peak(run, p));
        if (series)
            lumescope_print_json_series(out, run.meters[p.meter]);
        fprintf(out, "        }\n");
    }
    fprintf(out, "    ]\n");
    fprintf(out, "}\n");
}

// One line per track whose float samples held NaNs or infinities, which
// every meter took as silence: the figures then say nothing of them.
void lumescope_report_non_finite(const scope_run& run)
{
    for (const meter_track& t : run.tracks) {
        const uint64_t n = run.meters[t.meter].non_finite;
        if (n > 0)
            fprintf(stderr, "Stream #%d: %llu %s not finite (NaN or infinite); measured as silence\n",
                    t.stream_index, static_cast<unsigned long long>(n), n == 1 ? "sample is" : "samples are");
    }
}

// The text an open_memstream stream fills, freed with it.
struct memstream_text {
    char* data = nullptr;
    size_t size = 0;
    ~memstream_text() { free(data); }
};

struct file_closer {
    void operator()(FILE* f) const { fclose(f); }
};

// Writes the report to out and flushes it. Returns 0, or the errno of the
// write that failed (a full disk, a closed output) or ENOMEM.
int lumescope_write_report(FILE* out, const scope_run& run, report_mode mode, bool series)
{
    // The report is made in memory first and then written by one call and a
    // flush: a long report fails in the middle of the call, a short one only
    // at the flush, and either way the failing call leaves its errno.
    memstream_text text;  // freed after the stream that fills it is closed
    std::unique_ptr<FILE, file_closer> mem(open_memstream(&text.data, &text.size));
    if (!mem)
        return ENOMEM;
    if (mode == report_mode::json)
        lumescope_print_json(mem.get(), run, series);
    else
        lumescope_print_text(mem.get(), run);
    if (ferror(mem.get()) || fflush(mem.get()) != 0)
        return ENOMEM;
    errno = 0;
    if (fwrite(text.data, 1, text.size, out) != text.size || fflush(out) != 0)
        return errno != 0 ? errno : EIO;
    return 0;
}

// The panels of the picture: one per track, or per programme where the track
// is in one, in stream order.
std::string lumescope_plot(const scope_run& run)
{
    std::vector<plot_panel> panels;
    std::vector<std::vector<float>> programme_peaks(run.programmes.size());
    std::vector<bool> shown(run.programmes.size(), false);
    for (const meter_track& t : run.tracks) {
        plot_panel panel;
        const track_meter* m = &run.meters[t.meter];
        if (t.programme < 0) {
            const track_figures f = track_meter_figures(*m);
            panel.name = "idx #" + std::to_string(t.stream_index);
            panel.loudness = f.loudness;
            panel.lra = f.lra;
            for (const channel_figures& ch : f.channels)
                panel.true_peak = std::max(panel.true_peak, ch.true_peak);
            panel.true_peaks = m->series->true_peak;
        } else {
            const size_t i = static_cast<size_t>(t.programme);
            if (shown[i])
                continue;
            shown[i] = true;
            const meter_programme& p = run.programmes[i];
            m = &run.meters[p.meter];
            const track_figures f = track_meter_figures(*m);
            panel.name = "programme " + p.name;
            panel.loudness = f.loudness;
            panel.lra = f.lra;
            panel.true_peak = lumescope_programme_peak(run, p);
            programme_peaks[i] = lumescope_programme_peaks(run, p);
            panel.true_peaks = programme_peaks[i];
        }
        panel.momentary = m->series->momentary;
        panel.short_term = m->series->short_term;
        panels.push_back(std::move(panel));
    }
    return loudness_plot_svg(run.path, panels);
}

// Writes the picture whole through a temporary file, or not at all. Returns 0
// or -errno.
int lumescope_write_file(const char* path, const std::string& text)
{
    dst_file dst;
    if (const int err = dst_open(path, true, &dst); err != 0)
        return err;
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = write(dst.fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int err = n < 0 ? -errno : -EIO;
            dst_discard(&dst);
            return err;
        }
        done += static_cast<size_t>(n);
    }
    return dst_commit(&dst);
}

}  // namespace

namespace {

// A refused option: its one-line diagnostic, then the usage.
int lumescope_refuse(const std::string& why)
{
    fprintf(stderr, "%s\n", why.c_str());
    lumescope_usage();
    return 1;
}

// Makes the groups programmes of the run, each with its meter. Returns an
// empty text, or the one-line reason for refusing them.
std::string lumescope_set_programmes(scope_run& run, const std::vector<programme_group>& groups)
{
    for (const programme_group& g : groups) {
        meter_programme p;
        p.name = g.name;
        bool any_float = false, all_s16 = true;
        for (int s = g.first; s <= g.last; ++s) {
            const size_t i = static_cast<size_t>(s);
            if (i >= run.track_of_stream.size() || run.track_of_stream[i] < 0)
                return "Programme group " + g.name + " names stream #" + std::to_string(s) +
                       ", which is not a selected audio track";
            const size_t j = static_cast<size_t>(run.track_of_stream[i]);
            const meter_track& t = run.tracks[j];
            if (!p.tracks.empty() && t.sample_rate != p.sample_rate)
                return "Programme group " + g.name + " mixes sample rates: stream #" +
                       std::to_string(run.tracks[p.tracks[0]].stream_index) + " at " + std::to_string(p.sample_rate) +
                       " Hz, stream #" + std::to_string(s) + " at " + std::to_string(t.sample_rate) + " Hz";
            p.tracks.push_back(j);
            p.channels += t.channels;
            p.sample_rate = t.sample_rate;
            any_float = any_float || t.meter_format == TRACK_FLOAT;
            all_s16 = all_s16 && t.meter_format == TRACK_S16;
        }
        p.format = any_float ? TRACK_FLOAT : all_s16 ? TRACK_S16 : TRACK_S32;
        track_meter m;
        if (track_meter_init_loudness(&m, p.channels, p.sample_rate, p.format) != 0)
            return "Programme group " + g.name + ": cannot measure " + std::to_string(p.channels) + " channels at " +
                   std::to_string(p.sample_rate) + " Hz";
        m.silence_non_finite = true;
        p.meter = run.meters.size();
        run.meters.push_back(std::move(m));
        std::vector<size_t> channels;
        for (size_t m = 0; m < p.tracks.size(); ++m) {
            meter_track& t = run.tracks[p.tracks[m]];
            t.programme = static_cast<int>(run.programmes.size());
            t.member = m;
            channels.push_back(static_cast<size_t>(t.channels));
        }
        programme_feed_init(&p.feed, channels, track_sample_bytes(p.format));
        run.programmes.push_back(std::move(p));
    }
    return {};
}

}  // namespace

int lumescope_run(int argc, char** argv, FILE* out, unsigned threads)
{
    lumescope_settings settings;
    settings.threads = threads;
    return lumescope_run_with(argc, argv, out, settings);
}

int lumescope_run_with(int argc, char** argv, FILE* out, const lumescope_settings& settings)
{
    report_mode mode = report_mode::text;
    const char* path = nullptr;
    const char* groups_text = nullptr;
    const char* plot_path = nullptr;
    bool series = false;
    if (argc == 2 && std::strcmp(argv[1], "-h") != 0 && std::strcmp(argv[1], "--help") != 0) {
        path = argv[1];
    } else if (argc >= 3) {
        // Options come before the input: at most one of -t and -j, and each
        // other option at most once.
        bool mode_given = false;
        int i = 1;
        for (; i < argc - 1; ++i) {
            if ((std::strcmp(argv[i], "-t") == 0 || std::strcmp(argv[i], "-j") == 0) && !mode_given) {
                mode = argv[i][1] == 'j' ? report_mode::json : report_mode::text;
                mode_given = true;
            } else if (std::strcmp(argv[i], "-p") == 0 && !groups_text && i + 1 < argc - 1) {
                groups_text = argv[++i];
            } else if (std::strcmp(argv[i], "--plot") == 0 && !plot_path && i + 1 < argc - 1) {
                plot_path = argv[++i];
            } else if (std::strcmp(argv[i], "--series") == 0 && !series) {
                series = true;
            } else {
                break;
            }
        }
        // Without the later options only the one option the meter always
        // took is accepted.
        if (i == argc - 1 && (groups_text || plot_path || series || argc == 3))
            path = argv[argc - 1];
    }
    if (!path) {
        lumescope_usage();
        return 1;
    }
    if (series && mode != report_mode::json)
        return lumescope_refuse("--series needs the JSON report (-j)");
    // A slip in a script's arguments must not turn the media into a picture.
    struct stat plot_st, input_st;
    if (plot_path && stat(plot_path, &plot_st) == 0 && stat(path, &input_st) == 0 && S_ISREG(plot_st.st_mode) &&
        plot_st.st_dev == input_st.st_dev && plot_st.st_ino == input_st.st_ino)
        return lumescope_refuse(std::string("The picture would replace the input: ") + plot_path);
    std::vector<programme_group> groups;
    if (groups_text && programme_groups_parse(groups_text, &groups) != 0)
        return lumescope_refuse(std::string("Invalid programme groups: ") + groups_text);
    if (const int s = programme_groups_overlap(groups); s >= 0)
        return lumescope_refuse("Stream #" + std::to_string(s) + " is in more than one programme group");

    avformat_network_init();
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path, nullptr, nullptr) != 0) {
        fprintf(stderr, "Failed to open file: %s\n", path);
        return 1;
    }
    av_format_ptr input(raw);
    if (avformat_find_stream_info(input.get(), nullptr) < 0) {
        fprintf(stderr, "Failed to find stream info in file: %s\n", path);
        return 1;
    }

    scope_run run;
    run.path = path;
    run.programme_queue_bytes = settings.programme_queue_bytes;
    run.track_of_stream.assign(input->nb_streams, -1);
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        meter_track t;
        track_meter m;
        if (!lumescope_select(input->streams[i], static_cast<int>(i), &t, &m))
            continue;
        t.meter = run.meters.size();
        run.track_of_stream[i] = static_cast<int>(run.tracks.size());
        run.tracks.push_back(std::move(t));
        run.meters.push_back(std::move(m));
    }
    if (run.tracks.empty()) {
        fprintf(stderr, "No audiotracks found\n");
        return 1;
    }
    if (const std::string why = lumescope_set_programmes(run, groups); !why.empty())
        return lumescope_refuse(why);
    // Readings every 100 ms cost 12 bytes each per track and programme: kept
    // only when they are shown.
    if (series || plot_path)
        for (track_meter& m : run.meters)
            track_meter_keep_series(&m);

    meter_pool* raw_pool = nullptr;
    av_packet_ptr pkt(av_packet_alloc());
    av_frame_ptr frame(av_frame_alloc());
    if (!pkt || !frame || meter_pool_create(&raw_pool, &run.meters, settings.threads) != 0) {
        fprintf(stderr, "Out of memory reading %s\n", path);
        return 1;
    }
    meter_pool_ptr pool(raw_pool);
    progress_line progress;
    progress_init(&progress, stderr, "Reading");
    const int64_t input_size = input->pb ? avio_size(input->pb) : -1;
    int r;
    while ((r = av_read_frame(input.get(), pkt.get())) >= 0) {
        const int s = pkt->stream_index;
        const int j = s >= 0 && static_cast<unsigned>(s) < input->nb_streams ? run.track_of_stream[static_cast<size_t>(s)] : -1;
        if (j >= 0 && !lumescope_decode(run, run.tracks[static_cast<size_t>(j)], pool.get(), pkt.get(), frame.get())) {
            progress_clear(&progress);
            fprintf(stderr, "Failed to decode packet from stream #%d\n", s);
        }
        av_packet_unref(pkt.get());
        if (j >= 0)
            progress_update(&progress,
                            input_size > 0 ? static_cast<double>(avio_tell(input->pb)) / static_cast<double>(input_size)
                                           : -1,
                            run.tracks[static_cast<size_t>(j)].seconds);
    }
    progress_clear(&progress);
    // Some demuxers (GXF, Westwood audio) end with an error of their own at
    // the end of a clean input; only an input that failed before its end (an
    // I/O error, a dropped connection) would give figures of an unknown part.
    const bool read_to_end = input->pb && avio_feof(input->pb) && input->pb->error == 0;
    if (r != AVERROR_EOF && !read_to_end) {
        char msg[AV_ERROR_MAX_STRING_SIZE];
        av_strerror(r, msg, sizeof msg);
        fprintf(stderr, "Failed to read %s: %s\n", path, msg);
        return 1;
    }
    // Decoders may still hold audio: drain each one.
    for (size_t j = 0; j < run.tracks.size(); ++j)
        if (!lumescope_decode(run, run.tracks[j], pool.get(), nullptr, frame.get()))
            fprintf(stderr, "Failed to decode packet from stream #%d\n", run.tracks[j].stream_index);
    for (meter_programme& p : run.programmes) {
        if (!p.read_back) {
            programme_feed_pad(&p.feed);
            lumescope_programme_flush(p, pool.get());
        } else if (!lumescope_read_back(run, p, pool.get())) {
            fprintf(stderr, "Failed to read %s again for programme %s\n", path, p.name.c_str());
            return 1;
        }
    }
    meter_pool_finish(pool.get());
    lumescope_report_non_finite(run);

    if (const int err = lumescope_write_report(out, run, mode, series); err != 0) {
        fprintf(stderr, "Failed to write the report: %s\n", strerror(err));
        return 1;
    }
    if (plot_path) {
        if (const int err = lumescope_write_file(plot_path, lumescope_plot(run)); err != 0) {
            fprintf(stderr, "Failed to write %s: %s\n", plot_path, strerror(-err));
            return 1;
        }
    }
    return 0;
}

int lumescope_main(int argc, char** argv)
{
    return lumescope_run(argc, argv, stdout, 0);
}
