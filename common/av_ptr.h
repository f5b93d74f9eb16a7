// Owning pointers for FFmpeg objects, released with FFmpeg's own free functions.
#pragma once

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

struct av_format_closer {
    void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
struct av_codec_freer {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct av_packet_freer {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct av_frame_freer {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};

using av_format_ptr = std::unique_ptr<AVFormatContext, av_format_closer>;
using av_codec_ptr = std::unique_ptr<AVCodecContext, av_codec_freer>;
using av_packet_ptr = std::unique_ptr<AVPacket, av_packet_freer>;
using av_frame_ptr = std::unique_ptr<AVFrame, av_frame_freer>;
