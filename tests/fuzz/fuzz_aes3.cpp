// Fuzzes the AES3 element codec on any value: an element matches exactly the
// PCM FFmpeg's demuxer would make of it and decodes to that PCM's samples, and
// a gain changes nothing but the sample bits of the track's subframes and,
// only where the element's parity was valid throughout, the parity bits, which
// then stay valid. A gain of 1 changes nothing at all.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" {
#include <libavcodec/codec_id.h>
}

#include "aes3_element.h"
#include "pcm_codec.h"

namespace {

uint32_t word(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool parity_ok(uint32_t w)
{
    return __builtin_popcount(w & 0xFFFFFFF0u) % 2 == 0;
}

// The demuxer's conversion: whole groups of the track's subframes, eight
// subframes apart, the last one possibly cut short of its unused subframes.
std::vector<uint8_t> demuxed(const std::vector<uint8_t>& v, int channels, int bits)
{
    std::vector<uint8_t> out;
    for (size_t at = 4; at + 4 * static_cast<size_t>(channels) <= v.size(); at += 32)
        for (int c = 0; c < channels; ++c) {
            const uint32_t w = word(v.data() + at + 4 * static_cast<size_t>(c));
            const uint32_t s = bits == 24 ? (w >> 4) & 0xFFFFFF : (w >> 12) & 0xFFFF;
            for (int b = 0; b < bits / 8; ++b)
                out.push_back(uint8_t(s >> (8 * b)));
        }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 10)
        return 0;
    const int channels = 1 + data[0] % 9;  // 9: one more than an element holds
    const int bits = data[1] & 1 ? 24 : 16;
    const int codec = bits == 24 ? AV_CODEC_ID_PCM_S24LE : AV_CODEC_ID_PCM_S16LE;
    double gain;
    std::memcpy(&gain, data + 2, sizeof gain);
    std::vector<uint8_t> value(data + 10, data + size);
    // Most inputs get a consistent header, so that the rewrite is reached.
    if (value.size() >= 4 && (data[1] & 2)) {
        const size_t n = (value.size() - 4) / 32;
        value.resize(4 + 32 * n);
        value[1] = uint8_t(n);
        value[2] = uint8_t(n >> 8);
    }
    const int64_t vsize = static_cast<int64_t>(value.size());
    const int n = aes3_sample_count(value.data(), vsize);
    const std::vector<uint8_t> pcm = demuxed(value, channels, bits);
    const bool matches =
        aes3_matches_pcm(value.data(), vsize, channels, codec, pcm.data(), static_cast<int>(pcm.size()));
    if (matches != (n > 0 && channels <= 8 && vsize <= aes3_value_max_bytes))
        abort();
    if (!std::isfinite(gain) || n <= 0 || channels > 8)
        return 0;

    // Decoded samples are those of the demuxed PCM, bit for bit.
    std::vector<float> from_value(value.size() / 4), from_pcm(pcm.size() / 2 + 1);
    const int count = aes3_to_float(from_value.data(), value.data(), static_cast<int>(vsize), channels, codec);
    if (count != n * channels ||
        pcm_to_float(from_pcm.data(), pcm.data(), static_cast<int>(pcm.size()), codec) != count ||
        std::memcmp(from_value.data(), from_pcm.data(), sizeof(float) * static_cast<size_t>(count)) != 0)
        abort();

    bool valid = true;
    for (int i = 0; i < n; ++i)
        for (int c = 0; c < channels; ++c)
            valid = valid && parity_ok(word(value.data() + 4 + 32 * i + 4 * c));
    std::vector<float> scratch;
    std::vector<uint8_t> same = value;
    if (aes3_apply_gain(same.data(), static_cast<int>(vsize), channels, codec, 1.0, &scratch) != 0 || same != value)
        abort();
    std::vector<uint8_t> scaled = value;
    const int clipped = aes3_apply_gain(scaled.data(), static_cast<int>(vsize), channels, codec, gain, &scratch);
    if (clipped < 0 || clipped > n * channels || std::memcmp(scaled.data(), value.data(), 4) != 0)
        abort();
    const uint32_t sample_bits = bits == 24 ? 0x0FFFFFF0u : 0x0FFFF000u;
    for (int i = 0; i < n; ++i)
        for (int k = 0; k < 8; ++k) {
            const uint32_t a = word(value.data() + 4 + 32 * i + 4 * k), b = word(scaled.data() + 4 + 32 * i + 4 * k);
            const uint32_t may_change = k < channels ? sample_bits | (valid ? 1u << 31 : 0u) : 0u;
            if ((a & ~may_change) != (b & ~may_change) || (k < channels && valid && !parity_ok(b)))
                abort();
        }
    return 0;
}
