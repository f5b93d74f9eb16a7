// Well-formed UTF-8, read strictly: the shortest form of every code point
// only, no surrogates (U+D800 to U+DFFF), nothing above U+10FFFF.
#pragma once

#include <cstddef>
#include <string_view>

// The length (1 to 4) of the well-formed UTF-8 sequence that starts at s[i],
// with its code point in *cp; 0 when the byte at s[i] starts none (a
// continuation byte, a lead byte that is never used, a sequence cut short or
// broken, an overlong form, a surrogate, a value above U+10FFFF). i must be
// less than s.size().
size_t utf8_decode(std::string_view s, size_t i, char32_t* cp);
