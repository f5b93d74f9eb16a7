#include "crc32c.h"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace {

constexpr uint32_t crc32c_poly = 0x82F63B78u;  // reflected Castagnoli polynomial

constexpr std::array<uint32_t, 256> crc32c_table()
{
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = c & 1 ? (c >> 1) ^ crc32c_poly : c >> 1;
        t[i] = c;
    }
    return t;
}

constexpr std::array<uint32_t, 256> table = crc32c_table();

uint32_t crc32c_portable(const uint8_t* p, size_t n)
{
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i)
        c = table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    return ~c;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) uint32_t crc32c_sse42(const uint8_t* p, size_t n)
{
    uint64_t c = 0xFFFFFFFFu;
    for (; n >= 8; n -= 8, p += 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        c = _mm_crc32_u64(c, word);
    }
    uint32_t c32 = static_cast<uint32_t>(c);
    for (; n > 0; --n, ++p)
        c32 = _mm_crc32_u8(c32, *p);
    return ~c32;
}
#endif

}  // namespace

uint32_t crc32c(const uint8_t* data, size_t size)
{
#if defined(__x86_64__)
    if (__builtin_cpu_supports("sse4.2"))
        return crc32c_sse42(data, size);
#endif
    return crc32c_portable(data, size);
}
