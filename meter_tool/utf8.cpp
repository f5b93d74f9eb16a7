#include "utf8.h"

size_t utf8_decode(std::string_view s, size_t i, char32_t* cp)
{
    const auto lead = static_cast<unsigned char>(s[i]);
    if (lead < 0x80) {
        *cp = lead;
        return 1;
    }
    // The lead byte gives the length and the smallest code point that needs
    // it; C0, C1 and F5 to FF lead nothing (C0 and C1 could only start
    // overlong forms of ASCII).
    size_t n;
    char32_t value, least;
    if (lead >= 0xC2 && lead <= 0xDF) {
        n = 2;
        value = lead & 0x1Fu;
        least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3;
        value = lead & 0x0Fu;
        least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4;
        value = lead & 0x07u;
        least = 0x10000;
    } else {
        return 0;
    }
    if (n > s.size() - i)
        return 0;
    for (size_t k = 1; k < n; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0u) != 0x80u)
            return 0;
        value = value << 6 | (b & 0x3Fu);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    *cp = value;
    return n;
}
