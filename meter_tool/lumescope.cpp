#include "lumescope.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <ebur128.h>

#include "av_ptr.h"
#include "qpm.h"

namespace {

struct ebur128_destroyer {
    void operator()(ebur128_state* st) const { ebur128_destroy(&st); }
};
using ebur128_ptr = std::unique_ptr<ebur128_state, ebur128_destroyer>;

constexpr int meter_types[4] = {0, 5, 10, 200};

// One selected audio stream with its decoder and meters.
struct meter_track {
    int stream_index = 0;
    av_codec_ptr codec;
    int channels = 0;
    int sample_rate = 0;
    AVSampleFormat format = AV_SAMPLE_FMT_NONE;
    ebur128_ptr loudness;
    std::vector<std::array<qpm_ptr, 4>> qpm;  // per channel: types 0, 5, 10, 200
    std::vector<uint8_t> interleaved;          // planar frames are interleaved here
    bool mismatch_reported = false;
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

bool lumescope_supported(AVSampleFormat f)
{
    switch (f) {
    case AV_SAMPLE_FMT_S16:
    case AV_SAMPLE_FMT_S32:
    case AV_SAMPLE_FMT_FLT:
    case AV_SAMPLE_FMT_S16P:
    case AV_SAMPLE_FMT_S32P:
    case AV_SAMPLE_FMT_FLTP:
        return true;
    default:
        return false;
    }
}

// Opens a decoder for stream i and, when its sample format is supported,
// makes it a track. Prints the found-track line or why the stream is skipped.
bool lumescope_select(const AVStream* st, int i, meter_track* out)
{
    const AVCodec* decoder = avcodec_find_decoder(st->codecpar->codec_id);
    if (!decoder || st->codecpar->codec_type != AVMEDIA_TYPE_AUDIO)
        return false;
    av_codec_ptr codec(avcodec_alloc_context3(decoder));
    if (!codec || avcodec_parameters_to_context(codec.get(), st->codecpar) < 0 ||
        avcodec_open2(codec.get(), decoder, nullptr) < 0) {
        fprintf(stderr, "Failed to open codec for stream #%d\n", i);
        return false;
    }
    const int channels = codec->ch_layout.nb_channels;
    fprintf(stderr, "Found audio track #%d, channels=%d, sample_rate=%d, sample_fmt=[%s], codec_name=[%s][%s]\n", i,
            channels, codec->sample_rate, lumescope_fmt_name(codec->sample_fmt), decoder->name,
            decoder->long_name ? decoder->long_name : "");
    if (!lumescope_supported(codec->sample_fmt)) {
        fprintf(stderr, "Not supported sample format [%s]\n", lumescope_fmt_name(codec->sample_fmt));
        return false;
    }
    if (channels <= 0) {
        fprintf(stderr, "Skipping stream #%d: audio track without channels\n", i);
        return false;
    }
    ebur128_ptr loudness(ebur128_init(static_cast<unsigned>(channels), static_cast<unsigned long>(codec->sample_rate),
                                      EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_SAMPLE_PEAK |
                                          EBUR128_MODE_TRUE_PEAK));
    if (!loudness) {
        fprintf(stderr, "Skipping stream #%d: cannot measure %d channels at %d Hz\n", i, channels,
                codec->sample_rate);
        return false;
    }
    out->stream_index = i;
    out->channels = channels;
    out->sample_rate = codec->sample_rate;
    out->format = codec->sample_fmt;
    out->codec = std::move(codec);
    out->loudness = std::move(loudness);
    out->qpm.resize(static_cast<size_t>(channels));
    for (auto& meters : out->qpm)
        for (size_t k = 0; k < 4; ++k) {
            qpm_meter* m = nullptr;
            qpm_create(&m, meter_types[k]);
            meters[k].reset(m);
        }
    return true;
}

template <typename T>
void lumescope_feed_meters(meter_track& t, const T* samples, int frames, double scale)
{
    const double dt = 1.0 / t.sample_rate;
    const size_t k = static_cast<size_t>(t.channels);
    for (size_t s = 0; s < static_cast<size_t>(frames); ++s)
        for (size_t c = 0; c < k; ++c) {
            double v = static_cast<double>(samples[s * k + c]);
            if (scale != 1.0)
                v = v / scale;
            for (const qpm_ptr& m : t.qpm[c])
                qpm_process(m.get(), v, dt);
        }
}

// Feeds one decoded frame to the track's meters and loudness state.
void lumescope_feed(meter_track& t, const AVFrame* f)
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
    const int frames = f->nb_samples;
    if (frames <= 0)
        return;
    const size_t k = static_cast<size_t>(t.channels);
    const size_t w = static_cast<size_t>(av_get_bytes_per_sample(t.format));
    const uint8_t* data = f->extended_data[0];
    if (av_sample_fmt_is_planar(t.format)) {
        t.interleaved.resize(static_cast<size_t>(frames) * k * w);
        uint8_t* out = t.interleaved.data();
        for (size_t s = 0; s < static_cast<size_t>(frames); ++s)
            for (size_t c = 0; c < k; ++c, out += w)
                std::memcpy(out, f->extended_data[c] + s * w, w);
        data = t.interleaved.data();
    }
    switch (av_get_packed_sample_fmt(t.format)) {
    case AV_SAMPLE_FMT_S16:
        lumescope_feed_meters(t, reinterpret_cast<const int16_t*>(data), frames, 32767.0);
        ebur128_add_frames_short(t.loudness.get(), reinterpret_cast<const short*>(data), static_cast<size_t>(frames));
        break;
    case AV_SAMPLE_FMT_S32:
        lumescope_feed_meters(t, reinterpret_cast<const int32_t*>(data), frames, 2147483647.0);
        ebur128_add_frames_int(t.loudness.get(), reinterpret_cast<const int*>(data), static_cast<size_t>(frames));
        break;
    default:
        lumescope_feed_meters(t, reinterpret_cast<const float*>(data), frames, 1.0);
        ebur128_add_frames_float(t.loudness.get(), reinterpret_cast<const float*>(data), static_cast<size_t>(frames));
        break;
    }
}

// Sends one packet (or, with null, the end of the stream) to the track's decoder
// and meters every frame it yields. Returns false on a decoding error.
bool lumescope_decode(meter_track& t, const AVPacket* pkt, AVFrame* frame)
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
        lumescope_feed(t, frame);
        av_frame_unref(frame);
    }
}

struct track_figures {
    double loudness = 0, lra = 0;
    std::vector<std::array<double, 6>> channel;  // sample peak, true peak (linear), qpm0..qpm200 (dB)
};

track_figures lumescope_figures(const meter_track& t)
{
    track_figures r;
    ebur128_loudness_global(t.loudness.get(), &r.loudness);
    ebur128_loudness_range(t.loudness.get(), &r.lra);
    r.channel.resize(static_cast<size_t>(t.channels));
    for (size_t c = 0; c < r.channel.size(); ++c) {
        auto& v = r.channel[c];
        ebur128_sample_peak(t.loudness.get(), static_cast<unsigned>(c), &v[0]);
        ebur128_true_peak(t.loudness.get(), static_cast<unsigned>(c), &v[1]);
        for (size_t k = 0; k < 4; ++k)
            qpm_get_max_db(t.qpm[c][k].get(), &v[2 + k], 1.0);
    }
    return r;
}

void lumescope_print_text(const char* path, std::vector<meter_track>& tracks)
{
    printf("filename: %s\n", path);
    for (meter_track& t : tracks) {
        const track_figures f = lumescope_figures(t);
        printf("\tidx #%d\n", t.stream_index);
        printf("\t\tloudness  %.2f LUFS\n", f.loudness);
        printf("\t\tLRA %.2f LU\n", f.lra);
        for (size_t c = 0; c < f.channel.size(); ++c) {
            const auto& v = f.channel[c];
            const int ci = static_cast<int>(c);
            printf("\t\tsample peak [%d] %.2lf dBFS\n", ci, qpm_ratio_to_db(v[0]));
            printf("\t\ttrue peak [%d] %.2lf dBFS\n", ci, qpm_ratio_to_db(v[1]));
            printf("\t\tqpm0 [%d] %.2lf dBFS\n", ci, v[2]);
            printf("\t\tqpm5 [%d] %.2lf dBFS\n", ci, v[3]);
            printf("\t\tqpm10 [%d] %.2lf dBFS\n", ci, v[4]);
            printf("\t\tqpm200 [%d] %.2lf dBFS\n", ci, v[5]);
        }
        t.loudness.reset();
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

void lumescope_print_json(const char* path, std::vector<meter_track>& tracks)
{
    printf("{\n");
    printf("    \"filename\": \"%s\",\n", lumescope_json_escape(path).c_str());
    printf("    \"audio_cnt\": \"%d\",\n", static_cast<int>(tracks.size()));
    printf("    \"audio_tracks\":\n");
    printf("    [\n");
    for (size_t j = 0; j < tracks.size(); ++j) {
        meter_track& t = tracks[j];
        const track_figures f = lumescope_figures(t);
        if (j > 0)
            printf("        ,\n");
        printf("        {\n");
        printf("            \"idx\": \"%d\",\n", t.stream_index);
        printf("            \"loudness\": \"%.2f\",\n", f.loudness);
        printf("            \"LRA\": \"%.2f\",\n", f.lra);
        printf("            \"channels\": \n");
        printf("            [\n");
        for (size_t c = 0; c < f.channel.size(); ++c) {
            const auto& v = f.channel[c];
            if (c > 0)
                printf("                ,\n");
            printf("                {\n");
            printf("                    \"sample_peak\": \"%.2lf\",\n", v[0]);
            printf("                    \"true_peak\": \"%.2lf\",\n", v[1]);
            printf("                    \"qpm0\": \"%.2lf\",\n", v[2]);
            printf("                    \"qpm5\": \"%.2lf\",\n", v[3]);
            printf("                    \"qpm10\": \"%.2lf\",\n", v[4]);
            printf("                    \"qpm200\": \"%.2lf\"\n", v[5]);
            printf("                }\n");
        }
        printf("            ]\n");
        printf("        }\n");
        t.loudness.reset();
    }
    printf("    ]\n");
    printf("}\n");
}

}  // namespace

int lumescope_main(int argc, char** argv)
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
    std::vector<int> ordinal_of_stream(input->nb_streams, -1);
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        meter_track t;
        if (!lumescope_select(input->streams[i], static_cast<int>(i), &t))
            continue;
        ordinal_of_stream[i] = static_cast<int>(tracks.size());
        tracks.push_back(std::move(t));
    }
    if (tracks.empty()) {
        fprintf(stderr, "No audiotracks found\n");
        return 1;
    }

    av_packet_ptr pkt(av_packet_alloc());
    av_frame_ptr frame(av_frame_alloc());
    if (!pkt || !frame) {
        fprintf(stderr, "Out of memory reading %s\n", path);
        return 1;
    }
    while (av_read_frame(input.get(), pkt.get()) >= 0) {
        const int s = pkt->stream_index;
        const int j = s >= 0 && static_cast<unsigned>(s) < input->nb_streams ? ordinal_of_stream[static_cast<size_t>(s)] : -1;
        if (j >= 0 && !lumescope_decode(tracks[static_cast<size_t>(j)], pkt.get(), frame.get()))
            fprintf(stderr, "Failed to decode packet from stream #%d\n", j);
        av_packet_unref(pkt.get());
    }
    // Decoders may still hold audio: drain each one.
    for (size_t j = 0; j < tracks.size(); ++j)
        if (!lumescope_decode(tracks[j], nullptr, frame.get()))
            fprintf(stderr, "Failed to decode packet from stream #%d\n", static_cast<int>(j));

    if (mode == report_mode::json)
        lumescope_print_json(path, tracks);
    else
        lumescope_print_text(path, tracks);
    fflush(stdout);
    return 0;
}
