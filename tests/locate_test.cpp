#include <algorithm>
#include <cstdint>
#include <iterator>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "inplace_norm.h"

namespace {

std::vector<uint8_t> ramp(size_t n, uint8_t start)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(start + i * 7);
    return v;
}

}  // namespace

TEST(PayloadLocation, FindsThePayloadAfterItsFraming)
{
    const std::vector<uint8_t> payload = ramp(400, 1);
    std::vector<uint8_t> window(20, 0xEE);
    window.insert(window.end(), payload.begin(), payload.end());
    window.resize(500, 0x55);
    EXPECT_EQ(inplace_norm_locate(payload.data(), 400, window.data(), 500), 20);
}

TEST(PayloadLocation, SearchesOnlyTheFirstQuarter)
{
    const std::vector<uint8_t> payload = ramp(40, 3);
    for (int shift : {0, 9, 10}) {
        std::vector<uint8_t> window(static_cast<size_t>(shift), 0xEE);
        window.insert(window.end(), payload.begin(), payload.end());
        window.resize(60, 0);
        EXPECT_EQ(inplace_norm_locate(payload.data(), 40, window.data(), 60), shift < 10 ? shift : -1) << shift;
    }
    const uint8_t tiny[3] = {1, 2, 3};
    EXPECT_EQ(inplace_norm_locate(tiny, 3, tiny, 3), -1);
}

TEST(PayloadLocation, ComparesTheWholePayloadNeverStaleOrMissingBytes)
{
    // A nearly silent payload whose framing ends in a zero byte: a match one
    // byte early would succeed if the payload's last byte were not compared.
    std::vector<uint8_t> payload(64, 0);
    payload.back() = 0x01;
    std::vector<uint8_t> window(80, 0x00);
    window[0] = 0x83;
    std::copy(payload.begin(), payload.end(), window.begin() + 4);
    EXPECT_EQ(inplace_norm_locate(payload.data(), 64, window.data(), 80), 4);
    // The same payload cut short by the end of the file is not found.
    EXPECT_EQ(inplace_norm_locate(payload.data(), 64, window.data(), 67), -1);
}

namespace {

// A KLV triplet as an MXF writer lays it out: a 16-byte key starting with the
// SMPTE label prefix, a BER length of `length_bytes` bytes (1: short form),
// then the value, then what follows in the file.
std::vector<uint8_t> klv(const std::vector<uint8_t>& value, int length_bytes, uint64_t length)
{
    std::vector<uint8_t> out = {0x06, 0x0e, 0x2b, 0x34, 0x01, 0x02, 0x01, 0x01,
                                0x0d, 0x01, 0x03, 0x01, 0x16, 0x01, 0x01, 0x01};
    if (length_bytes == 1) {
        out.push_back(static_cast<uint8_t>(length));
    } else {
        out.push_back(static_cast<uint8_t>(0x80 | (length_bytes - 1)));
        for (int i = length_bytes - 2; i >= 0; --i)
            out.push_back(static_cast<uint8_t>(length >> (8 * i)));
    }
    out.insert(out.end(), value.begin(), value.end());
    out.resize(out.size() + 64, 0x1e);
    return out;
}

}  // namespace

TEST(PayloadLocation, APacketAtAKeyHoldsItsPayloadRightAfterTheLengthOnly)
{
    // 16-bit stereo of the constant 30: the length 83 00 1e 00 ends like the
    // payload 1e 00 1e 00 ..., which a search would match two bytes early.
    std::vector<uint8_t> payload(7680);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = i % 2 == 0 ? 0x1e : 0x00;
    const std::vector<uint8_t> w = klv(payload, 4, payload.size());
    const int64_t len = static_cast<int64_t>(w.size());
    EXPECT_EQ(inplace_norm_locate(payload.data(), 7680, w.data(), len), 18);
    EXPECT_EQ(inplace_norm_locate_payload(payload.data(), 7680, w.data(), len), 20);

    // Every length form, and payloads too small for a quarter to reach past
    // the framing.
    for (int length_bytes : {1, 2, 4, 9}) {
        const std::vector<uint8_t> small = ramp(length_bytes == 1 ? 100 : 3, 9);
        const std::vector<uint8_t> v = klv(small, length_bytes, small.size());
        EXPECT_EQ(inplace_norm_locate_payload(small.data(), static_cast<int>(small.size()), v.data(),
                                              static_cast<int64_t>(v.size())),
                  16 + length_bytes)
            << length_bytes;
    }

    // A packet that differs from the bytes after its framing is not there,
    // even though the same bytes lie elsewhere in the window.
    std::vector<uint8_t> other = payload;
    other[100] ^= 1;
    EXPECT_EQ(inplace_norm_locate_payload(other.data(), 7680, w.data(), len), -1);
    // A packet longer than what the file still holds: not there either.
    EXPECT_EQ(inplace_norm_locate_payload(payload.data(), 7680, w.data(), 20 + 7679), -1);
}

TEST(PayloadLocation, AnElementCutShortByTheEndOfTheFileIsFoundAfterItsLength)
{
    // The file ends 2000 bytes into an element whose length still says 3840:
    // the demuxer hands out those 2000 bytes. A constant tail that repeats the
    // length's last bytes (0f 00 0f 00 ...) must not be matched early.
    for (const auto& [length_bytes, length, unit] : {std::tuple{4, 0x000f00u, std::vector<uint8_t>{0x0f, 0x00}},
                                                     std::tuple{4, 0x0f0f0fu, std::vector<uint8_t>{0x0f, 0x0f, 0x0f}},
                                                     std::tuple{2, 0x80u, std::vector<uint8_t>{0x80, 0x80}}}) {
        std::vector<uint8_t> payload;
        while (payload.size() < 96)
            payload.insert(payload.end(), unit.begin(), unit.end());
        std::vector<uint8_t> w = klv(payload, length_bytes, length);
        w.resize(w.size() - 64);  // nothing follows: the file ends here
        const int64_t found = inplace_norm_locate_payload(payload.data(), static_cast<int>(payload.size()), w.data(),
                                                          static_cast<int64_t>(w.size()));
        EXPECT_EQ(found, 16 + length_bytes) << length;
    }
}

TEST(PayloadLocation, EssenceThatBeginsLikeAKeyIsTakenAtItsPosition)
{
    // A piece of clip-wrapped essence whose first samples read 06 0e 2b 34
    // and a valid length byte: the payload lies at the position itself.
    std::vector<uint8_t> payload = ramp(400, 1);
    const uint8_t key_like[] = {0x06, 0x0e, 0x2b, 0x34, 0x01, 0x02, 0x01, 0x01, 0x0d,
                                0x01, 0x03, 0x01, 0x16, 0x01, 0x01, 0x01, 0x10};
    std::copy(std::begin(key_like), std::end(key_like), payload.begin());
    std::vector<uint8_t> w = payload;
    w.resize(500, 0x55);
    EXPECT_EQ(inplace_norm_locate_payload(payload.data(), 400, w.data(), 500), 0);
    // Found neither there nor after the length: not found, never searched.
    std::vector<uint8_t> shifted(3, 0x00);
    shifted.insert(shifted.end(), payload.begin(), payload.end());
    std::copy(std::begin(key_like), std::end(key_like), shifted.begin());
    EXPECT_EQ(inplace_norm_locate_payload(payload.data(), 400, shifted.data(), static_cast<int64_t>(shifted.size())),
              -1);
}

TEST(PayloadLocation, OtherFramingsAreSearched)
{
    const std::vector<uint8_t> payload = ramp(400, 1);
    // A KLV packet whose length is not the payload's (clip-wrapped essence
    // read in pieces): the payload is searched for.
    std::vector<uint8_t> w = klv(payload, 4, 100000);
    EXPECT_EQ(inplace_norm_locate_payload(payload.data(), 400, w.data(), static_cast<int64_t>(w.size())), 20);
    // No SMPTE label: searched.
    w[0] = 0x07;
    EXPECT_EQ(inplace_norm_locate_payload(payload.data(), 400, w.data(), static_cast<int64_t>(w.size())), 20);
    // A window too short to hold a key and a length.
    const std::vector<uint8_t> tiny = {0x06, 0x0e, 0x2b, 0x34, 0x01};
    EXPECT_EQ(inplace_norm_locate_payload(tiny.data(), 5, tiny.data(), 5), 0);
    uint64_t length = 0;
    EXPECT_EQ(inplace_norm_klv_value(tiny.data(), 5, &length), -1);
}

TEST(PayloadLocation, AnAes3ElementIsTakenOnlyWhenItsKeyAndWholeValueGiveThePayload)
{
    // Two samples of a 2-channel 24-bit track: subframe = sample << 4 | channel,
    // six unused subframes after each pair.
    const uint32_t samples[4] = {0x123456, 0xFFFFFE, 0x7FFFFF, 0x800000};
    std::vector<uint8_t> w = {0x06, 0x0e, 0x2b, 0x34, 0x01, 0x02, 0x01, 0x01,       0x0d, 0x01, 0x03, 0x01,
                              0x06, 0x01, 0x10, 0x00, 0x83, 0x00, 0x00, 4 + 2 * 32, 0x00, 0x02, 0x00, 0x03};
    std::vector<uint8_t> pcm;
    for (int i = 0; i < 2; ++i)
        for (uint32_t c = 0; c < 8; ++c) {
            const uint32_t word = c < 2 ? samples[2 * i + c] << 4 | c : c;
            for (int b = 0; b < 4; ++b)
                w.push_back(uint8_t(word >> (8 * b)));
            if (c < 2)
                for (int b = 0; b < 3; ++b)
                    pcm.push_back(uint8_t(samples[2 * i + c] >> (8 * b)));
        }
    const int64_t len = static_cast<int64_t>(w.size());
    int32_t value_size = 0;
    EXPECT_EQ(inplace_norm_locate_aes3(pcm.data(), 12, w.data(), len, 2, AV_CODEC_ID_PCM_S24LE, &value_size), 20);
    EXPECT_EQ(value_size, 68);
    // The value cut short by the end of the file, another key, another
    // sample, another track layout: not an element of this payload.
    EXPECT_EQ(inplace_norm_locate_aes3(pcm.data(), 12, w.data(), len - 1, 2, AV_CODEC_ID_PCM_S24LE, &value_size), -1);
    std::vector<uint8_t> other = w;
    other[14] = 0x11;
    EXPECT_EQ(inplace_norm_locate_aes3(pcm.data(), 12, other.data(), len, 2, AV_CODEC_ID_PCM_S24LE, &value_size), -1);
    std::vector<uint8_t> wrong = pcm;
    wrong[11] ^= 0x01;
    EXPECT_EQ(inplace_norm_locate_aes3(wrong.data(), 12, w.data(), len, 2, AV_CODEC_ID_PCM_S24LE, &value_size), -1);
    EXPECT_EQ(inplace_norm_locate_aes3(pcm.data(), 12, w.data(), len, 2, AV_CODEC_ID_PCM_S16LE, &value_size), -1);
    EXPECT_EQ(inplace_norm_locate_aes3(pcm.data(), 12, w.data(), len, 2, AV_CODEC_ID_PCM_S24BE, &value_size), -1);
}
