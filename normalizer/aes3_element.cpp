#include "aes3_element.h"

#include "pcm_codec.h"

extern "C" {
#include <libavcodec/codec_id.h>
}

namespace {

constexpr uint32_t aes3_parity_bit = 1u << 31;
constexpr int aes3_max_channels = 8;

bool aes3_track_ok(int channels, int codec_id)
{
    // The demuxer always hands out little-endian PCM.
    return channels >= 1 && channels <= aes3_max_channels &&
        (codec_id == AV_CODEC_ID_PCM_S16LE || codec_id == AV_CODEC_ID_PCM_S24LE);
}

// Lowest of the bits the demuxer reads: 16-bit audio is the top of the 24-bit field.
int aes3_sample_shift(int codec_id)
{
    return codec_id == AV_CODEC_ID_PCM_S24LE ? 4 : 12;
}

uint32_t aes3_get_word(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void aes3_put_word(uint8_t* p, uint32_t w)
{
    p[0] = uint8_t(w);
    p[1] = uint8_t(w >> 8);
    p[2] = uint8_t(w >> 16);
    p[3] = uint8_t(w >> 24);
}

// AES3 parity is even over bits 4-31 (everything after the preamble).
bool aes3_parity_valid(uint32_t w)
{
    return __builtin_popcount(w & 0xFFFFFFF0u) % 2 == 0;
}

// Largest PCM conversion of an element: 1,920 samples of 8 channels of 3 bytes.
constexpr int aes3_pcm_max_bytes =
    (aes3_value_max_bytes - aes3_header_bytes) / aes3_sample_bytes * aes3_max_channels * 3;

// The PCM the demuxer makes of n samples of the value. Returns its parity
// verdict: true when every subframe read has valid parity.
bool aes3_extract_pcm(const uint8_t* value, int n, int channels, int codec_id, uint8_t* pcm)
{
    const int width = pcm_sample_width(codec_id);
    const int shift = aes3_sample_shift(codec_id);
    bool parity_valid = true;
    for (int i = 0; i < n; ++i) {
        const uint8_t* s = value + aes3_header_bytes + i * aes3_sample_bytes;
        for (int c = 0; c < channels; ++c, pcm += width) {
            const uint32_t w = aes3_get_word(s + 4 * c);
            parity_valid = parity_valid && aes3_parity_valid(w);
            const uint32_t v = w >> shift;
            pcm[0] = uint8_t(v);
            pcm[1] = uint8_t(v >> 8);
            if (width == 3)
                pcm[2] = uint8_t(v >> 16);
        }
    }
    return parity_valid;
}

}  // namespace

bool aes3_is_element_key(const uint8_t* key)
{
    return key[12] == 0x06 && key[13] == 0x01 && key[14] == 0x10;
}

int aes3_sample_count(const uint8_t* value, int64_t size)
{
    // The demuxer ignores the header's count and converts a trailing partial
    // sample too; an element whose header disagrees with its length, or that
    // ends inside a sample, is not one whose bits can be trusted.
    if (size < aes3_header_bytes + aes3_sample_bytes || size > aes3_value_max_bytes ||
        (size - aes3_header_bytes) % aes3_sample_bytes != 0)
        return -1;
    const int n = static_cast<int>((size - aes3_header_bytes) / aes3_sample_bytes);
    return (value[1] | value[2] << 8) == n ? n : -1;
}

bool aes3_matches_pcm(const uint8_t* value, int64_t size, int channels, int codec_id, const uint8_t* pcm, int pcm_size)
{
    const int n = aes3_sample_count(value, size);
    if (n < 0 || !aes3_track_ok(channels, codec_id))
        return false;
    const int width = pcm_sample_width(codec_id);
    if (pcm_size != n * channels * width)
        return false;
    const int shift = aes3_sample_shift(codec_id);
    const uint8_t* s = value + aes3_header_bytes;
    for (int i = 0; i < n; ++i, s += aes3_sample_bytes)
        for (int c = 0; c < channels; ++c, pcm += width) {
            const uint32_t v = aes3_get_word(s + 4 * c) >> shift;
            if (pcm[0] != uint8_t(v) || pcm[1] != uint8_t(v >> 8) || (width == 3 && pcm[2] != uint8_t(v >> 16)))
                return false;
        }
    return true;
}

int aes3_to_float(float* out, const uint8_t* value, int size, int channels, int codec_id)
{
    const int n = aes3_sample_count(value, size);
    if (n < 0 || !aes3_track_ok(channels, codec_id))
        return 0;
    uint8_t pcm[aes3_pcm_max_bytes];
    aes3_extract_pcm(value, n, channels, codec_id, pcm);
    return pcm_to_float(out, pcm, n * channels * pcm_sample_width(codec_id), codec_id);
}

namespace {

// Scales the track's samples of an element by one gain, or by a gain per
// sample instant where frame_gains is not null.
int aes3_scale(uint8_t* value, int size, int channels, int codec_id, double gain, const double* frame_gains,
               std::vector<float>* samples)
{
    const int n = aes3_sample_count(value, size);
    if (n < 0 || !aes3_track_ok(channels, codec_id))
        return 0;
    const int width = pcm_sample_width(codec_id);
    const int shift = aes3_sample_shift(codec_id);
    const uint32_t mask = (width == 3 ? 0xFFFFFFu : 0xFFFFu) << shift;
    const int count = n * channels;
    // The samples go through the plain PCM codec, so that scaling, truncation,
    // saturation and the clip count are those of every other payload.
    uint8_t pcm[aes3_pcm_max_bytes];
    const bool parity_kept = aes3_extract_pcm(value, n, channels, codec_id, pcm);
    const int clipped = frame_gains ? pcm_apply_gains(pcm, count * width, codec_id, channels, frame_gains, samples)
                                    : pcm_apply_gain(pcm, count * width, codec_id, gain, samples);

    // Equipment that keeps parity valid gets it kept valid; anywhere else the
    // P bits were never meaningful and stay as they were.
    const uint8_t* d = pcm;
    for (int i = 0; i < n; ++i) {
        uint8_t* s = value + aes3_header_bytes + i * aes3_sample_bytes;
        for (int c = 0; c < channels; ++c, d += width) {
            const uint32_t v = uint32_t(d[0]) | uint32_t(d[1]) << 8 | (width == 3 ? uint32_t(d[2]) << 16 : 0u);
            uint32_t w = (aes3_get_word(s + 4 * c) & ~mask) | v << shift;
            if (parity_kept && !aes3_parity_valid(w))
                w ^= aes3_parity_bit;
            aes3_put_word(s + 4 * c, w);
        }
    }
    return clipped;
}

}  // namespace

int aes3_apply_gain(uint8_t* value, int size, int channels, int codec_id, double gain, std::vector<float>* samples)
{
    return aes3_scale(value, size, channels, codec_id, gain, nullptr, samples);
}

int aes3_apply_gains(uint8_t* value, int size, int channels, int codec_id, const double* frame_gains,
                     std::vector<float>* samples)
{
    return aes3_scale(value, size, channels, codec_id, 1.0, frame_gains, samples);
}
