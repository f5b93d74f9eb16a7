#include <cstdint>
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
    std::vector<uint8_t> window = {0x83, 0x00, 0x00, 0x00};
    window.insert(window.end(), payload.begin(), payload.end());
    window.resize(80, 0x00);
    EXPECT_EQ(inplace_norm_locate(payload.data(), 64, window.data(), 80), 4);
    // The same payload cut short by the end of the file is not found.
    EXPECT_EQ(inplace_norm_locate(payload.data(), 64, window.data(), 67), -1);
}
