#include "pcm_codec.h"

#include <cmath>

extern "C" {
#include <libavcodec/codec_id.h>
}

namespace {

// 2^-31 and 2^31 as single-precision constants: every sample sits in the top
// bits of a signed 32-bit integer, so 16- and 24-bit samples share one scale.
constexpr float pcm_decode_scale = 1.0f / 2147483648.0f;
constexpr float pcm_encode_scale = 2147483648.0f;

int32_t pcm_from_bits(uint32_t bits)
{
    return static_cast<int32_t>(bits);
}

// Truncates the scaled sample toward zero; values outside the 32-bit range
// saturate (and NaN becomes 0), so the conversion is always defined.
int32_t pcm_saturate(float scaled, int* clipped)
{
    if (scaled >= pcm_encode_scale) {
        ++*clipped;
        return INT32_MAX;
    }
    if (scaled < -pcm_encode_scale) {
        ++*clipped;
        return INT32_MIN;
    }
    if (std::isnan(scaled))
        return 0;
    return static_cast<int32_t>(scaled);
}

}  // namespace

int pcm_sample_width(int codec_id)
{
    return codec_id == AV_CODEC_ID_PCM_S24LE || codec_id == AV_CODEC_ID_PCM_S24BE ? 3 : 2;
}

int pcm_to_float(float* out, const uint8_t* d, int size, int codec_id)
{
    const int w = pcm_sample_width(codec_id);
    const int n = size / w;
    switch (codec_id) {
    case AV_CODEC_ID_PCM_S16LE:
        for (int i = 0; i < n; ++i, d += 2)
            out[i] = static_cast<float>(pcm_from_bits(uint32_t(d[1] << 8 | d[0]) << 16)) * pcm_decode_scale;
        break;
    case AV_CODEC_ID_PCM_S16BE:
        for (int i = 0; i < n; ++i, d += 2)
            out[i] = static_cast<float>(pcm_from_bits(uint32_t(d[0] << 8 | d[1]) << 16)) * pcm_decode_scale;
        break;
    case AV_CODEC_ID_PCM_S24LE:
        for (int i = 0; i < n; ++i, d += 3)
            out[i] = static_cast<float>(pcm_from_bits(uint32_t(d[2] << 16 | d[1] << 8 | d[0]) << 8)) * pcm_decode_scale;
        break;
    case AV_CODEC_ID_PCM_S24BE:
        for (int i = 0; i < n; ++i, d += 3)
            out[i] = static_cast<float>(pcm_from_bits(uint32_t(d[0] << 16 | d[1] << 8 | d[2]) << 8)) * pcm_decode_scale;
        break;
    default:
        for (int i = 0; i < n; ++i)
            out[i] = 0.0f;
        break;
    }
    return n;
}

int float_to_pcm(const float* in, uint8_t* d, int size, int codec_id)
{
    const int n = size / pcm_sample_width(codec_id);
    int clipped = 0;
    switch (codec_id) {
    case AV_CODEC_ID_PCM_S16LE:
        for (int i = 0; i < n; ++i, d += 2) {
            const uint32_t v = static_cast<uint32_t>(pcm_saturate(in[i] * pcm_encode_scale, &clipped));
            d[0] = uint8_t(v >> 16);
            d[1] = uint8_t(v >> 24);
        }
        break;
    case AV_CODEC_ID_PCM_S16BE:
        for (int i = 0; i < n; ++i, d += 2) {
            const uint32_t v = static_cast<uint32_t>(pcm_saturate(in[i] * pcm_encode_scale, &clipped));
            d[0] = uint8_t(v >> 24);
            d[1] = uint8_t(v >> 16);
        }
        break;
    case AV_CODEC_ID_PCM_S24LE:
        for (int i = 0; i < n; ++i, d += 3) {
            const uint32_t v = static_cast<uint32_t>(pcm_saturate(in[i] * pcm_encode_scale, &clipped));
            d[0] = uint8_t(v >> 8);
            d[1] = uint8_t(v >> 16);
            d[2] = uint8_t(v >> 24);
        }
        break;
    case AV_CODEC_ID_PCM_S24BE:
        for (int i = 0; i < n; ++i, d += 3) {
            const uint32_t v = static_cast<uint32_t>(pcm_saturate(in[i] * pcm_encode_scale, &clipped));
            d[0] = uint8_t(v >> 24);
            d[1] = uint8_t(v >> 16);
            d[2] = uint8_t(v >> 8);
        }
        break;
    default:
        break;
    }
    return clipped;
}

int pcm_apply_gain(uint8_t* data, int size, int codec_id, double gain, std::vector<float>* scratch)
{
    const size_t count = static_cast<size_t>(size / pcm_sample_width(codec_id));
    if (scratch->size() < count)
        scratch->resize(count);
    float* x = scratch->data();
    const int n = pcm_to_float(x, data, size, codec_id);
    for (int i = 0; i < n; ++i)
        x[i] = static_cast<float>(static_cast<double>(x[i]) * gain);
    return float_to_pcm(x, data, size, codec_id);
}
