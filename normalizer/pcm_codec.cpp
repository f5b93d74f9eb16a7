#include "pcm_codec.h"

#include <cmath>
#include <cstddef>

#include <immintrin.h>

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

namespace {

// Byte shuffles that place samples in the top bits of 32-bit lanes (index
// 0x80 clears a byte): four 24-bit samples from 12 bytes, or four 16-bit
// samples from the low or high 8 bytes.
alignas(16) constexpr uint8_t pcm_shuffle_s24le[16] = {0x80, 0, 1, 2, 0x80, 3, 4, 5, 0x80, 6, 7, 8, 0x80, 9, 10, 11};
alignas(16) constexpr uint8_t pcm_shuffle_s24be[16] = {0x80, 2, 1, 0, 0x80, 5, 4, 3, 0x80, 8, 7, 6, 0x80, 11, 10, 9};
alignas(16) constexpr uint8_t pcm_shuffle_s16le[2][16] = {
    {0x80, 0x80, 0, 1, 0x80, 0x80, 2, 3, 0x80, 0x80, 4, 5, 0x80, 0x80, 6, 7},
    {0x80, 0x80, 8, 9, 0x80, 0x80, 10, 11, 0x80, 0x80, 12, 13, 0x80, 0x80, 14, 15}};
alignas(16) constexpr uint8_t pcm_shuffle_s16be[2][16] = {
    {0x80, 0x80, 1, 0, 0x80, 0x80, 3, 2, 0x80, 0x80, 5, 4, 0x80, 0x80, 7, 6},
    {0x80, 0x80, 9, 8, 0x80, 0x80, 11, 10, 0x80, 0x80, 13, 12, 0x80, 0x80, 15, 14}};

// The same integers, converted and scaled as the scalar loops do (int32 to
// float rounded to nearest, then times 2^-31), for as many samples as whole
// 16-byte loads allow. Returns the samples done.
__attribute__((target("ssse3"))) int pcm_to_float_ssse3(float* out, const uint8_t* d, int n, int codec_id)
{
    const __m128 scale = _mm_set1_ps(pcm_decode_scale);
    int i = 0;
    if (codec_id == AV_CODEC_ID_PCM_S24LE || codec_id == AV_CODEC_ID_PCM_S24BE) {
        const __m128i mask = _mm_load_si128(reinterpret_cast<const __m128i*>(
            codec_id == AV_CODEC_ID_PCM_S24LE ? pcm_shuffle_s24le : pcm_shuffle_s24be));
        // A load reads 16 bytes for the 12 it decodes.
        for (; 3 * i + 16 <= 3 * n; i += 4) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + 3 * i));
            const __m128i v = _mm_shuffle_epi8(bytes, mask);
            _mm_storeu_ps(out + i, _mm_mul_ps(_mm_cvtepi32_ps(v), scale));
        }
    } else {
        const auto& masks = codec_id == AV_CODEC_ID_PCM_S16LE ? pcm_shuffle_s16le : pcm_shuffle_s16be;
        const __m128i lo = _mm_load_si128(reinterpret_cast<const __m128i*>(masks[0]));
        const __m128i hi = _mm_load_si128(reinterpret_cast<const __m128i*>(masks[1]));
        for (; i + 8 <= n; i += 8) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + 2 * i));
            _mm_storeu_ps(out + i, _mm_mul_ps(_mm_cvtepi32_ps(_mm_shuffle_epi8(bytes, lo)), scale));
            _mm_storeu_ps(out + i + 4, _mm_mul_ps(_mm_cvtepi32_ps(_mm_shuffle_epi8(bytes, hi)), scale));
        }
    }
    return i;
}

}  // namespace

int pcm_to_float(float* out, const uint8_t* d, int size, int codec_id)
{
    const int w = pcm_sample_width(codec_id);
    const int n = size / w;
    int i = 0;
    const bool known = codec_id == AV_CODEC_ID_PCM_S16LE || codec_id == AV_CODEC_ID_PCM_S16BE ||
                       codec_id == AV_CODEC_ID_PCM_S24LE || codec_id == AV_CODEC_ID_PCM_S24BE;
    if (known && __builtin_cpu_supports("ssse3"))
        i = pcm_to_float_ssse3(out, d, n, codec_id);
    d += static_cast<ptrdiff_t>(i) * w;
    switch (codec_id) {
    case AV_CODEC_ID_PCM_S16LE:
        for (; i < n; ++i, d += 2)
            out[i] = static_cast<float>(pcm_from_bits(uint32_t(d[1] << 8 | d[0]) << 16)) * pcm_decode_scale;
        break;
    case AV_CODEC_ID_PCM_S16BE:
        for (; i < n; ++i, d += 2)
            out[i] = static_cast<float>(pcm_from_bits(uint32_t(d[0] << 8 | d[1]) << 16)) * pcm_decode_scale;
        break;
    case AV_CODEC_ID_PCM_S24LE:
        for (; i < n; ++i, d += 3)
            out[i] = static_cast<float>(pcm_from_bits(uint32_t(d[2] << 16 | d[1] << 8 | d[0]) << 8)) * pcm_decode_scale;
        break;
    case AV_CODEC_ID_PCM_S24BE:
        for (; i < n; ++i, d += 3)
            out[i] = static_cast<float>(pcm_from_bits(uint32_t(d[0] << 16 | d[1] << 8 | d[2]) << 8)) * pcm_decode_scale;
        break;
    default:
        for (; i < n; ++i)
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
