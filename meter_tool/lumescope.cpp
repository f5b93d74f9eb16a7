#include "lumescope.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>


#include "av_ptr.h"
#include "progress.h"
#include "track_meter.h"

namespace {

// One selected audio stream with its decoder. Its meters are kept apart, in
// the table the metering threads work on.
struct meter_track {
    int stream_index = 0;
    av_codec_ptr codec;
    int channels = 0;
    int sample_rate = 0;
    AVSampleFormat format = AV_SAMPLE_FMT_NONE;
    bool mismatch_reported = false;
    double seconds = 0;  // audio metered so far
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
bool lumescope_select(const AVStream* st, int i, meter_track* out, track_meter* meter)
{
    const AVCodec* decoder = avcodec_find_decoder(st->codecpar->codec_id);
    if (!decoder || st->codecpar->codec_type != AVMEDIA_TYPE_AUDIO)
        return false;
    av_codec_ptr codec(avcodec_alloc_context3(decoder));
    // The decoder needs the stream's time base to place the samples that
    // encoders mark for skipping (MP3, Opus and AAC priming and padding).
    if (codec)
        codec->pkt_timebase = st->time_base;
    if (!codec || avcodec_parameters_to_context(codec.get(), st->codecpar) < 0 ||
        avcodec_open2(codec.get(), decoder, nullptr) < 0) {
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
    out->stream_index = i;
    out->channels = channels;
    out->sample_rate = codec->sample_rate;
    out->format = codec->sample_fmt;
    out->codec = std::move(codec);
    return true;
}

// Hands one decoded frame to the track's meters, interleaved.
void lumescope_feed(meter_track& t, meter_pool* pool, size_t j, const AVFrame* f)
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
    const size_t k = static_cast<size_t>(t.channels);
    const size_t w = static_cast<size_t>(av_get_bytes_per_sample(t.format));
    t.seconds += static_cast<double>(frames) / t.sample_rate;
    uint8_t* out = meter_pool_append(pool, j, frames);
    if (!av_sample_fmt_is_planar(t.format)) {
        std::memcpy(out, f->extended_data[0], frames * k * w);
        return;
    }
    for (size_t s = 0; s < frames; ++s)
        for (size_t c = 0; c < k; ++c, out += w)
            std::memcpy(out, f->extended_data[c] + s * w, w);
}

// Sends one packet (or, with null, the end of the stream) to the track's decoder
// and meters every frame it yields. Returns false on a decoding error.
bool lumescope_decode(meter_track& t, meter_pool* pool, size_t j, const AVPacket* pkt, AVFrame* frame)
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
        lumescope_feed(t, pool, j, frame);
        av_frame_unref(frame);
    }
}

void lumescope_print_text(FILE* out, const char* path, const std::vector<meter_track>& tracks,
                          const std::vector<track_meter>& meters)
{
    fprintf(out, "filename: %s\n", path);
    for (size_t j = 0; j < tracks.size(); ++j) {
        const track_figures f = track_meter_figures(meters[j]);
        fprintf(out, "\tidx #%d\n", tracks[j].stream_index);
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
}

// The text as the contents of a JSON string: quotes, backslashes and control
// characters escaped.
std::string lumescope_json_escape(const char* text)
{
    std::string out;
    for (const char* p = text; *p; ++p) {
        const unsigned char ch = static_cast<unsigned char>(*p);
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += *p;
        } else if (ch < 0x20) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", ch);
            out += esc;
        } else {
            out += *p;
        }
    }
    return out;
}

void lumescope_print_json(FILE* out, const char* path, const std::vector<meter_track>& tracks,
                          const std::vector<track_meter>& meters)
{
    fprintf(out, "{\n");
    fprintf(out, "    \"filename\": \"%s\",\n", lumescope_json_escape(path).c_str());
    fprintf(out, "    \"audio_cnt\": \"%d\",\n", static_cast<int>(tracks.size()));
    fprintf(out, "    \"audio_tracks\":\n");
    fprintf(out, "    [\n");
    for (size_t j = 0; j < tracks.size(); ++j) {
        const track_figures f = track_meter_figures(meters[j]);
        if (j > 0)
            fprintf(out, "        ,\n");
        fprintf(out, "        {\n");
        fprintf(out, "            \"idx\": \"%d\",\n", tracks[j].stream_index);
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
        fprintf(out, "            ]\n");
        fprintf(out, "        }\n");
    }
    fprintf(out, "    ]\n");
    fprintf(out, "}\n");
}

}  // namespace

int lumescope_run(int argc, char** argv, FILE* out, unsigned threads)
{
    report_mode mode = report_mode::text;
    const char* path = nullptr;
    if (argc == 2 && std::strcmp(argv[1], "-h") != 0 && std::strcmp(argv[1], "--help") != 0) {
        path = argv[1];
    } else if (argc == 3 && (std::strcmp(argv[1], "-t") == 0 || std::strcmp(argv[1], "-j") == 0)) {
        mode = argv[1][1] == 'j' ? report_mode::json : report_mode::text;
        path = argv[2];
    } else {
        lumescope_usage();
        return 1;
    }

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

    std::vector<meter_track> tracks;
    std::vector<track_meter> meters;
    std::vector<int> ordinal_of_stream(input->nb_streams, -1);
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        meter_track t;
        track_meter m;
        if (!lumescope_select(input->streams[i], static_cast<int>(i), &t, &m))
            continue;
        ordinal_of_stream[i] = static_cast<int>(tracks.size());
        tracks.push_back(std::move(t));
        meters.push_back(std::move(m));
    }
    if (tracks.empty()) {
        fprintf(stderr, "No audiotracks found\n");
        return 1;
    }

    meter_pool* raw_pool = nullptr;
    av_packet_ptr pkt(av_packet_alloc());
    av_frame_ptr frame(av_frame_alloc());
    if (!pkt || !frame || meter_pool_create(&raw_pool, &meters, threads) != 0) {
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
        const int j = s >= 0 && static_cast<unsigned>(s) < input->nb_streams ? ordinal_of_stream[static_cast<size_t>(s)] : -1;
        if (j >= 0 && !lumescope_decode(tracks[static_cast<size_t>(j)], pool.get(), static_cast<size_t>(j), pkt.get(),
                                        frame.get())) {
            progress_clear(&progress);
            fprintf(stderr, "Failed to decode packet from stream #%d\n", s);
        }
        av_packet_unref(pkt.get());
        if (j >= 0)
            progress_update(&progress,
                            input_size > 0 ? static_cast<double>(avio_tell(input->pb)) / static_cast<double>(input_size)
                                           : -1,
                            tracks[static_cast<size_t>(j)].seconds);
    }
    progress_clear(&progress);
    if (r != AVERROR_EOF) {
        // An input that fails before its end (an I/O error, a dropped
        // connection) would give figures of an unknown part of it.
        char msg[AV_ERROR_MAX_STRING_SIZE];
        av_strerror(r, msg, sizeof msg);
        fprintf(stderr, "Failed to read %s: %s\n", path, msg);
        return 1;
    }
    // Decoders may still hold audio: drain each one.
    for (size_t j = 0; j < tracks.size(); ++j)
        if (!lumescope_decode(tracks[j], pool.get(), j, nullptr, frame.get()))
            fprintf(stderr, "Failed to decode packet from stream #%d\n", tracks[j].stream_index);
    meter_pool_finish(pool.get());

    if (mode == report_mode::json)
        lumescope_print_json(out, path, tracks, meters);
    else
        lumescope_print_text(out, path, tracks, meters);
    fflush(out);
    return 0;
}

int lumescope_main(int argc, char** argv)
{
    return lumescope_run(argc, argv, stdout, 0);
}
