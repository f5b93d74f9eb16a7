#include "pcm_codec.h"

#include <cmath>
#include <cstddef>
#include <cstring>

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

namespace {

// The four codecs the conversions read and write; others decode as silence.
bool pcm_known_codec(int codec_id)
{
    return codec_id == AV_CODEC_ID_PCM_S16LE || codec_id == AV_CODEC_ID_PCM_S16BE ||
        codec_id == AV_CODEC_ID_PCM_S24LE || codec_id == AV_CODEC_ID_PCM_S24BE;
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
    const bool known = pcm_known_codec(codec_id);
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
    default: break;
    }
    return clipped;
}

namespace {

// Shuffles that take a sample's bytes back out of the top of its 32-bit lane,
// within each 128-bit half: twelve bytes of 24-bit samples or eight of 16-bit.
alignas(32) constexpr uint8_t pcm_pack_s24le[32] = {1, 2, 3, 5, 6, 7, 9, 10, 11, 13, 14, 15, 0x80, 0x80, 0x80, 0x80,
                                                    1, 2, 3, 5, 6, 7, 9, 10, 11, 13, 14, 15, 0x80, 0x80, 0x80, 0x80};
alignas(32) constexpr uint8_t pcm_pack_s24be[32] = {3, 2, 1, 7, 6, 5, 11, 10, 9, 15, 14, 13, 0x80, 0x80, 0x80, 0x80,
                                                    3, 2, 1, 7, 6, 5, 11, 10, 9, 15, 14, 13, 0x80, 0x80, 0x80, 0x80};
alignas(32) constexpr uint8_t pcm_pack_s16le[32] = {2,    3,    6,    7,    10,   11,   14,   15,   0x80, 0x80, 0x80,
                                                    0x80, 0x80, 0x80, 0x80, 0x80, 2,    3,    6,    7,    10,   11,
                                                    14,   15,   0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};
alignas(32) constexpr uint8_t pcm_pack_s16be[32] = {3,    2,    7,    6,    11,   10,   15,   14,   0x80, 0x80, 0x80,
                                                    0x80, 0x80, 0x80, 0x80, 0x80, 3,    2,    7,    6,    11,   10,
                                                    15,   14,   0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};

// The gain on eight samples at a time, in place, with the scalar path's
// operations lane by lane: decode as pcm_to_float, the double product rounded
// to single precision, then float_to_pcm's scaling, truncation and
// saturation (NaN to 0). Stores only the bytes of the samples done, after
// loading them. Returns the samples done and adds the saturated ones to *clipped.
__attribute__((target("avx2"))) int pcm_apply_gain_avx2(uint8_t* d, int n, int codec_id, double gain, int* clipped)
{
    const bool s24 = codec_id == AV_CODEC_ID_PCM_S24LE || codec_id == AV_CODEC_ID_PCM_S24BE;
    const bool le = codec_id == AV_CODEC_ID_PCM_S24LE || codec_id == AV_CODEC_ID_PCM_S16LE;
    const int w = s24 ? 3 : 2;
    __m128i unpack_lo, unpack_hi;
    if (s24) {
        const uint8_t* mask = le ? pcm_shuffle_s24le : pcm_shuffle_s24be;
        unpack_lo = unpack_hi = _mm_load_si128(reinterpret_cast<const __m128i*>(mask));
    } else {
        const auto& masks = le ? pcm_shuffle_s16le : pcm_shuffle_s16be;
        unpack_lo = _mm_load_si128(reinterpret_cast<const __m128i*>(masks[0]));
        unpack_hi = _mm_load_si128(reinterpret_cast<const __m128i*>(masks[1]));
    }
    const __m256i pack = _mm256_load_si256(reinterpret_cast<const __m256i*>(
        s24 ? (le ? pcm_pack_s24le : pcm_pack_s24be) : (le ? pcm_pack_s16le : pcm_pack_s16be)));
    const __m256 decode = _mm256_set1_ps(pcm_decode_scale);
    const __m256 encode = _mm256_set1_ps(pcm_encode_scale);
    const __m256 lowest = _mm256_set1_ps(-pcm_encode_scale);
    const __m256d g = _mm256_set1_pd(gain);
    // The second half's samples start 4 * w bytes in; every load of 16 bytes
    // stays inside the payload.
    const int half = 4 * w;
    int i = 0;
    for (; w * i + half + 16 <= w * n; i += 8) {
        uint8_t* p = d + w * i;
        const __m128i lo = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), unpack_lo);
        const __m128i hi =
            _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s24 ? p + half : p)), unpack_hi);
        const __m256 x = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_set_m128i(hi, lo)), decode);
        const __m128 y_lo = _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(x)), g));
        const __m128 y_hi = _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(x, 1)), g));
        const __m256 scaled = _mm256_mul_ps(_mm256_set_m128(y_hi, y_lo), encode);
        const __m256 over = _mm256_cmp_ps(scaled, encode, _CMP_GE_OQ);
        const __m256 under = _mm256_cmp_ps(scaled, lowest, _CMP_LT_OQ);
        const __m256 nan = _mm256_cmp_ps(scaled, scaled, _CMP_UNORD_Q);
        *clipped += __builtin_popcount(static_cast<unsigned>(_mm256_movemask_ps(_mm256_or_ps(over, under))));
        // Out of range the conversion gives INT32_MIN: flipping its bits where
        // the sample is over gives INT32_MAX.
        __m256i v = _mm256_cvttps_epi32(scaled);
        v = _mm256_xor_si256(v, _mm256_castps_si256(over));
        v = _mm256_andnot_si256(_mm256_castps_si256(nan), v);
        const __m256i bytes = _mm256_shuffle_epi8(v, pack);
        const __m128i out_lo = _mm256_castsi256_si128(bytes);
        const __m128i out_hi = _mm256_extracti128_si256(bytes, 1);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p), out_lo);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p + half), out_hi);
        if (s24) {
            const int32_t tail_lo = _mm_extract_epi32(out_lo, 2);
            const int32_t tail_hi = _mm_extract_epi32(out_hi, 2);
            std::memcpy(p + 8, &tail_lo, 4);
            std::memcpy(p + half + 8, &tail_hi, 4);
        }
    }
    return i;
}

}  // namespace

int pcm_apply_gain(uint8_t* data, int size, int codec_id, double gain, std::vector<float>* scratch)
{
    const int w = pcm_sample_width(codec_id);
    const bool known = pcm_known_codec(codec_id);
    int clipped = 0;
    if (known && __builtin_cpu_supports("avx2")) {
        const int done = pcm_apply_gain_avx2(data, size / w, codec_id, gain, &clipped);
        data += static_cast<ptrdiff_t>(done) * w;
        size -= done * w;
    }
    const size_t count = static_cast<size_t>(size / w);
    if (scratch->size() < count)
        scratch->resize(count);
    float* x = scratch->data();
    const int n = pcm_to_float(x, data, size, codec_id);
    for (int i = 0; i < n; ++i)
        x[i] = static_cast<float>(static_cast<double>(x[i]) * gain);
    return clipped + float_to_pcm(x, data, size, codec_id);
}

int pcm_apply_gains(uint8_t* data, int size, int codec_id, int channels, const double* frame_gains,
                    std::vector<float>* scratch)
{
    const size_t count = static_cast<size_t>(size / pcm_sample_width(codec_id));
    if (scratch->size() < count)
        scratch->resize(count);
    float* x = scratch->data();
    const int n = pcm_to_float(x, data, size, codec_id);
    for (int i = 0; i < n; ++i)
        x[i] = static_cast<float>(static_cast<double>(x[i]) * frame_gains[i / channels]);
    return float_to_pcm(x, data, size, codec_id);
}
