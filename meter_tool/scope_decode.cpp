#include "scope_decode.h"

#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "progress.h"

namespace {

const char* scope_fmt_name(int fmt)
{
    const char* name = av_get_sample_fmt_name(static_cast<AVSampleFormat>(fmt));
    return name ? name : "none";
}

// The metering format of a decoder's sample format, or false when it is not
// supported.
bool scope_metering_format(AVSampleFormat f, track_sample_format* out)
{
    switch (av_get_packed_sample_fmt(f)) {
    case AV_SAMPLE_FMT_S16: *out = TRACK_S16; return true;
    case AV_SAMPLE_FMT_S32: *out = TRACK_S32; return true;
    case AV_SAMPLE_FMT_FLT: *out = TRACK_FLOAT; return true;
    default: return false;
    }
}

// An opened decoder for the stream, or null.
av_codec_ptr scope_open_decoder(const AVStream* st, const AVCodec* decoder)
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

// Opens a decoder for stream i and, when its sample format is supported,
// makes it a track of m. Prints the found-track line or why the stream is
// skipped.
void scope_select_stream(scope_input* in, measurement* m, unsigned i)
{
    const AVStream* st = in->input->streams[i];
    const AVCodec* decoder = avcodec_find_decoder(st->codecpar->codec_id);
    if (!decoder || st->codecpar->codec_type != AVMEDIA_TYPE_AUDIO)
        return;
    av_codec_ptr codec = scope_open_decoder(st, decoder);
    if (!codec) {
        fprintf(stderr, "Failed to open codec for stream #%u\n", i);
        return;
    }
    const int channels = codec->ch_layout.nb_channels;
    fprintf(stderr, "Found audio track #%u, channels=%d, sample_rate=%d, sample_fmt=[%s], codec_name=[%s][%s]\n", i,
            channels, codec->sample_rate, scope_fmt_name(codec->sample_fmt), decoder->name,
            decoder->long_name ? decoder->long_name : "");
    track_sample_format format;
    if (!scope_metering_format(codec->sample_fmt, &format)) {
        fprintf(stderr, "Not supported sample format [%s]\n", scope_fmt_name(codec->sample_fmt));
        return;
    }
    if (channels <= 0) {
        fprintf(stderr, "Skipping stream #%u: audio track without channels\n", i);
        return;
    }
    if (measurement_add_track(m, static_cast<int32_t>(i), decoder->id, channels, codec->sample_rate, format) != 0) {
        fprintf(stderr, "Skipping stream #%u: cannot measure %d channels at %d Hz\n", i, channels, codec->sample_rate);
        return;
    }
    // Decoded floats may be NaN or infinite: measured as silence.
    m->meters[m->tracks.back().meter].silence_non_finite = true;
    track_decoder d;
    d.format = codec->sample_fmt;
    d.codec = std::move(codec);
    in->decoders.push_back(std::move(d));
}

// Writes a decoded frame of the track's format to out, interleaved.
void scope_interleave(const audio_track& t, AVSampleFormat format, const AVFrame* f, uint8_t* out)
{
    const size_t frames = static_cast<size_t>(f->nb_samples);
    const size_t k = static_cast<size_t>(t.channels);
    const size_t w = static_cast<size_t>(av_get_bytes_per_sample(format));
    if (!av_sample_fmt_is_planar(format)) {
        std::memcpy(out, f->extended_data[0], frames * k * w);
        return;
    }
    for (size_t s = 0; s < frames; ++s)
        for (size_t c = 0; c < k; ++c, out += w)
            std::memcpy(out, f->extended_data[c] + s * w, w);
}

// Whether a decoded frame has the track's channels and sample format; says
// so, once per track, when it has not.
bool scope_frame_fits(const audio_track& t, track_decoder* d, const AVFrame* f)
{
    if (f->ch_layout.nb_channels == t.channels && f->format == d->format)
        return true;
    if (!d->mismatch_reported)
        fprintf(stderr,
                "Skipping audio of stream #%d: decoded frames of %d channels of %s differ from the track's %d "
                "channels of %s\n",
                t.stream, f->ch_layout.nb_channels, scope_fmt_name(f->format), t.channels, scope_fmt_name(d->format));
    d->mismatch_reported = true;
    return false;
}

// Sends one packet (or, with null, the end of the stream) to track t's
// decoder and meters every frame it yields. Returns false on a decoding error.
bool scope_decode(scope_input* in, measurement* m, size_t t, const AVPacket* pkt, AVFrame* frame)
{
    track_decoder& d = in->decoders[t];
    int r = avcodec_send_packet(d.codec.get(), pkt);
    if (r < 0 && r != AVERROR_EOF)
        return false;
    for (;;) {
        r = avcodec_receive_frame(d.codec.get(), frame);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF)
            return true;
        if (r < 0)
            return false;
        const audio_track& track = m->tracks[t];
        if (scope_frame_fits(track, &d, frame) && frame->nb_samples > 0) {
            const size_t frames = static_cast<size_t>(frame->nb_samples);
            scope_interleave(track, d.format, frame, measurement_room(m, t, frames));
            measurement_commit(m, t, frames);
        }
        av_frame_unref(frame);
    }
}

// One track of a programme, decoded again from an opening of the input of its
// own, so that the programme's tracks can be read side by side however far
// apart the input stores them.
struct read_back_track {
    av_format_ptr input;
    track_decoder decoder;
};

// A programme's tracks, each decoded again from its own opening of the input.
struct decoder_read_back {
    const measurement* m = nullptr;
    const audio_programme* prog = nullptr;
    std::vector<read_back_track> tracks;
    av_packet_ptr pkt;
    av_frame_ptr frame;
    std::vector<uint8_t> buf;
};

// Queues the frames member m's decoder yields.
void scope_read_back_frames(decoder_read_back* rb, size_t m, programme_feed* feed)
{
    const audio_track& t = rb->m->tracks[rb->prog->tracks[m]];
    track_decoder& d = rb->tracks[m].decoder;
    AVFrame* frame = rb->frame.get();
    while (avcodec_receive_frame(d.codec.get(), frame) >= 0) {
        if (frame->ch_layout.nb_channels == t.channels && frame->format == d.format && frame->nb_samples > 0) {
            const size_t frames = static_cast<size_t>(frame->nb_samples);
            rb->buf.resize(frames * static_cast<size_t>(t.channels) *
                           static_cast<size_t>(av_get_bytes_per_sample(d.format)));
            scope_interleave(t, d.format, frame, rb->buf.data());
            programme_feed_push(feed, m, rb->buf.data(), frames);
        }
        av_frame_unref(frame);
    }
}

// Decodes the next packet of member m of the programme into the feed. Returns
// 1, or 0 once the member's input has ended and its decoder is drained.
int programme_source_read(decoder_read_back* rb, size_t m, programme_feed* feed)
{
    const audio_track& t = rb->m->tracks[rb->prog->tracks[m]];
    read_back_track& track = rb->tracks[m];
    AVPacket* pkt = rb->pkt.get();
    if (av_read_frame(track.input.get(), pkt) < 0) {
        avcodec_send_packet(track.decoder.codec.get(), nullptr);
        scope_read_back_frames(rb, m, feed);
        return 0;
    }
    if (pkt->stream_index == t.stream && avcodec_send_packet(track.decoder.codec.get(), pkt) >= 0)
        scope_read_back_frames(rb, m, feed);
    av_packet_unref(pkt);
    return 1;
}

// Opens the input again with only stream `stream` read, and its decoder.
bool scope_reopen(const scope_input& in, int stream, AVSampleFormat format, read_back_track* out)
{
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, in.url.c_str(), nullptr, nullptr) != 0)
        return false;
    out->input.reset(raw);
    if (avformat_find_stream_info(raw, nullptr) < 0 || static_cast<unsigned>(stream) >= raw->nb_streams)
        return false;
    for (unsigned i = 0; i < raw->nb_streams; ++i)
        raw->streams[i]->discard = static_cast<int>(i) == stream ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    const AVStream* st = raw->streams[stream];
    const AVCodec* decoder = avcodec_find_decoder(st->codecpar->codec_id);
    out->decoder.codec = decoder ? scope_open_decoder(st, decoder) : nullptr;
    out->decoder.format = format;
    return out->decoder.codec != nullptr;
}

}  // namespace

int scope_input_open(scope_input* in, const char* path, const std::string& url)
{
    in->path = path;
    in->url = url;
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, url.c_str(), nullptr, nullptr) != 0) {
        fprintf(stderr, "Failed to open file: %s\n", path);
        return 1;
    }
    in->input.reset(raw);
    if (avformat_find_stream_info(raw, nullptr) < 0) {
        fprintf(stderr, "Failed to find stream info in file: %s\n", path);
        return 1;
    }
    return 0;
}

void scope_input_select(scope_input* in, measurement* m)
{
    for (unsigned i = 0; i < in->input->nb_streams; ++i)
        scope_select_stream(in, m, i);
    // Only the selected tracks are read: the demuxer steps over the rest
    // where the container allows.
    for (unsigned i = 0; i < in->input->nb_streams; ++i)
        if (i >= m->track_of_stream.size() || m->track_of_stream[i] < 0)
            in->input->streams[i]->discard = AVDISCARD_ALL;
}

int scope_input_decode(scope_input* in, measurement* m)
{
    av_packet_ptr pkt(av_packet_alloc());
    av_frame_ptr frame(av_frame_alloc());
    if (!pkt || !frame || measurement_start(m) != 0) {
        fprintf(stderr, "Out of memory reading %s\n", in->path);
        return 1;
    }
    progress_line progress;
    progress_init(&progress, stderr, "Reading");
    AVFormatContext* input = in->input.get();
    const int64_t input_size = input->pb ? avio_size(input->pb) : -1;
    int r;
    while ((r = av_read_frame(input, pkt.get())) >= 0) {
        const size_t s = static_cast<size_t>(pkt->stream_index);
        const int32_t t = s < m->track_of_stream.size() ? m->track_of_stream[s] : -1;
        if (t >= 0 && !scope_decode(in, m, static_cast<size_t>(t), pkt.get(), frame.get())) {
            progress_clear(&progress);
            fprintf(stderr, "Failed to decode packet from stream #%d\n", pkt->stream_index);
        }
        av_packet_unref(pkt.get());
        if (t >= 0) {
            const audio_track& track = m->tracks[static_cast<size_t>(t)];
            progress_update(&progress,
                            input_size > 0 ? static_cast<double>(avio_tell(input->pb)) / static_cast<double>(input_size)
                                           : -1,
                            static_cast<double>(track.frames) / track.sample_rate);
        }
    }
    progress_clear(&progress);
    // Some demuxers (GXF, Westwood audio) end with an error of their own at
    // the end of a clean input; only an input that failed before its end (an
    // I/O error, a dropped connection) would give figures of an unknown part.
    const bool read_to_end = input->pb && avio_feof(input->pb) && input->pb->error == 0;
    if (r != AVERROR_EOF && !read_to_end) {
        char msg[AV_ERROR_MAX_STRING_SIZE];
        av_strerror(r, msg, sizeof msg);
        fprintf(stderr, "Failed to read %s: %s\n", in->path, msg);
        return 1;
    }
    // Decoders may still hold audio: drain each one.
    for (size_t t = 0; t < m->tracks.size(); ++t)
        if (!scope_decode(in, m, t, nullptr, frame.get()))
            fprintf(stderr, "Failed to decode packet from stream #%d\n", m->tracks[t].stream);
    return 0;
}

bool scope_input_read_back(const scope_input& in, measurement* m, size_t p)
{
    // Only what can be opened again can be read again: a FIFO or a device
    // would wait for a writer that never comes, the standard input is gone.
    struct stat st;
    if (in.url.starts_with("pipe:") || (stat(in.url.c_str(), &st) == 0 && !S_ISREG(st.st_mode)))
        return false;
    decoder_read_back rb;
    rb.m = m;
    rb.prog = &m->programmes[p];
    rb.tracks.resize(rb.prog->tracks.size());
    for (size_t k = 0; k < rb.prog->tracks.size(); ++k) {
        const size_t t = rb.prog->tracks[k];
        if (!scope_reopen(in, m->tracks[t].stream, in.decoders[t].format, &rb.tracks[k]))
            return false;
    }
    rb.pkt.reset(av_packet_alloc());
    rb.frame.reset(av_frame_alloc());
    if (!rb.pkt || !rb.frame)
        return false;
    return measurement_read_back(m, p, &rb) == 0;
}
