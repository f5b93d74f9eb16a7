#include <bit>
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/codec_id.h>
}

#include "pcm_codec.h"

namespace {

constexpr int all_codecs[] = {AV_CODEC_ID_PCM_S16LE, AV_CODEC_ID_PCM_S16BE, AV_CODEC_ID_PCM_S24LE,
                              AV_CODEC_ID_PCM_S24BE};

std::vector<uint8_t> encode(float sample, int codec)
{
    std::vector<uint8_t> bytes(static_cast<size_t>(pcm_sample_width(codec)), 0xAA);
    float_to_pcm(&sample, bytes.data(), static_cast<int>(bytes.size()), codec);
    return bytes;
}

float decode(std::vector<uint8_t> bytes, int codec)
{
    float f = 123;
    EXPECT_EQ(pcm_to_float(&f, bytes.data(), static_cast<int>(bytes.size()), codec), 1);
    return f;
}

// Every length up to a few vectors' worth, with the odd bytes after the last
// sample, and a long payload.
std::vector<size_t> payload_sizes()
{
    std::vector<size_t> sizes;
    for (size_t n = 0; n <= 80; ++n)
        sizes.push_back(n);
    sizes.push_back(3 * 2 * 1001 + 1);
    sizes.push_back(3 * 2 * 1001 + 2);
    return sizes;
}

}  // namespace

TEST(PcmCodec, DecodesFullScaleAndLargestPositive)
{
    EXPECT_EQ(decode({0x00, 0x80}, AV_CODEC_ID_PCM_S16LE), -1.0f);
    EXPECT_EQ(decode({0xFF, 0x7F}, AV_CODEC_ID_PCM_S16LE), 32767.0f / 32768.0f);
    EXPECT_EQ(decode({0x80, 0x00}, AV_CODEC_ID_PCM_S16BE), -1.0f);
    EXPECT_EQ(decode({0x80, 0x00, 0x00}, AV_CODEC_ID_PCM_S24BE), -1.0f);
    EXPECT_EQ(decode({0x00, 0x00, 0x80}, AV_CODEC_ID_PCM_S24LE), -1.0f);
    EXPECT_EQ(decode({0xFF, 0xFF, 0x7F}, AV_CODEC_ID_PCM_S24LE), 8388607.0f / 8388608.0f);
    EXPECT_EQ(decode({0x12, 0x34}, AV_CODEC_ID_PCM_F32LE), 0.0f);  // any other codec is silence
}

TEST(PcmCodec, EncodesByTruncatingAtThirtyTwoBits)
{
    EXPECT_EQ(encode(0.5f, AV_CODEC_ID_PCM_S24LE), (std::vector<uint8_t>{0x00, 0x00, 0x40}));
    EXPECT_EQ(encode(0.5f, AV_CODEC_ID_PCM_S16BE), (std::vector<uint8_t>{0x40, 0x00}));
    EXPECT_EQ(encode(0.5f, AV_CODEC_ID_PCM_S24BE), (std::vector<uint8_t>{0x40, 0x00, 0x00}));
    EXPECT_EQ(encode(-0.0000001f, AV_CODEC_ID_PCM_S16LE), (std::vector<uint8_t>{0xFF, 0xFF}));
    EXPECT_EQ(encode(0.0000001f, AV_CODEC_ID_PCM_S16LE), (std::vector<uint8_t>{0x00, 0x00}));
    EXPECT_EQ(encode(0.5f, AV_CODEC_ID_PCM_F32LE), (std::vector<uint8_t>{0xAA, 0xAA}));
}

TEST(PcmCodec, SaturatesAtFullScaleAndCountsClippedSamples)
{
    const float loud[] = {1.0f, 7.5f, -1.0f, -1.5f, 0.25f};
    std::vector<uint8_t> s16(10), s24(15);
    EXPECT_EQ(float_to_pcm(loud, s16.data(), 10, AV_CODEC_ID_PCM_S16LE), 3);
    EXPECT_EQ(s16, (std::vector<uint8_t>{0xFF, 0x7F, 0xFF, 0x7F, 0x00, 0x80, 0x00, 0x80, 0x00, 0x20}));
    EXPECT_EQ(float_to_pcm(loud, s24.data(), 15, AV_CODEC_ID_PCM_S24BE), 3);
    EXPECT_EQ(s24,
              (std::vector<uint8_t>{0x7F, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0x80, 0x00, 0x00, 0x80, 0x00, 0x00, 0x20, 0x00,
                                    0x00}));
}

TEST(PcmCodec, RoundTripReproducesEveryPayloadByteForByte)
{
    std::mt19937 rng(7);
    for (int codec : all_codecs)
        for (size_t size : payload_sizes()) {
            std::vector<uint8_t> payload(size);
            for (auto& b : payload)
                b = static_cast<uint8_t>(rng());
            const std::vector<uint8_t> original = payload;
            std::vector<float> samples(payload.size());
            const int n = pcm_to_float(samples.data(), payload.data(), static_cast<int>(payload.size()), codec);
            EXPECT_EQ(n, static_cast<int>(payload.size()) / pcm_sample_width(codec));
            // Whole payloads decode as their samples one by one do.
            const int w = pcm_sample_width(codec);
            for (int i = 0; i < n; ++i) {
                float one = 0;
                pcm_to_float(&one, payload.data() + i * w, w, codec);
                ASSERT_EQ(std::bit_cast<uint32_t>(one), std::bit_cast<uint32_t>(samples[static_cast<size_t>(i)]))
                    << codec << " size " << size << " sample " << i;
            }
            EXPECT_EQ(float_to_pcm(samples.data(), payload.data(), static_cast<int>(payload.size()), codec), 0);
            EXPECT_EQ(payload, original) << codec << " " << size;
        }
}

TEST(PcmCodec, TrailingBytesThatDoNotFillASampleAreLeftAlone)
{
    std::vector<uint8_t> payload = {0x00, 0x40, 0x00, 0x20, 0x00, 0x10, 0x77};
    float samples[3];
    EXPECT_EQ(pcm_to_float(samples, payload.data(), 7, AV_CODEC_ID_PCM_S16BE), 3);
    EXPECT_EQ(samples[1], 0.0f + static_cast<float>(0x00200000) / 2147483648.0f);
    const float quiet[3] = {0, 0, 0};
    float_to_pcm(quiet, payload.data(), 7, AV_CODEC_ID_PCM_S16BE);
    EXPECT_EQ(payload, (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0x77}));
}

TEST(PcmCodec, GainOnWholePayloadsEqualsGainOnEachSampleAlone)
{
    // A sample alone takes the one-by-one path: whole payloads, whatever
    // their length and the processor's vector paths, must give the same bytes
    // and the same count of saturated samples.
    std::mt19937 rng(11);
    const double gains[] = {2.662977, 0.5, 1.0, -1.0, 1.0000001, 0.999999, 1e-30, 123.0, 3e38, 1e300, 0.0};
    std::vector<float> scratch;
    for (int codec : all_codecs) {
        const int w = pcm_sample_width(codec);
        for (size_t size : payload_sizes())
            for (double gain : gains) {
                std::vector<uint8_t> payload(size);
                for (auto& b : payload)
                    b = static_cast<uint8_t>(rng());
                // Extremes of the sample range now and then.
                for (size_t i = 0; i + static_cast<size_t>(w) <= size; i += static_cast<size_t>(w))
                    if (rng() % 5 == 0)
                        for (int k = 0; k < w; ++k)
                            payload[i + static_cast<size_t>(k)] = rng() % 2 ? 0x80 : 0x7F;
                std::vector<uint8_t> expected = payload;
                int expected_clipped = 0;
                for (size_t i = 0; i + static_cast<size_t>(w) <= size; i += static_cast<size_t>(w))
                    expected_clipped += pcm_apply_gain(expected.data() + i, w, codec, gain, &scratch);
                const int clipped = pcm_apply_gain(payload.data(), static_cast<int>(size), codec, gain, &scratch);
                ASSERT_EQ(payload, expected) << codec << " size " << size << " gain " << gain;
                ASSERT_EQ(clipped, expected_clipped) << codec << " size " << size << " gain " << gain;
            }
    }
}
