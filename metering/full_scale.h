// What the meters divide samples by to read them as fractions of full scale:
// integers by the magnitude of their most negative value, as libebur128 does,
// floats by 1.
#pragma once

#include <cstdint>
#include <type_traits>

template <typename T>
constexpr double sample_full_scale()
{
    if constexpr (std::is_same_v<T, int16_t>)
        return 32768.0;
    else if constexpr (std::is_same_v<T, int32_t>)
        return 2147483648.0;
    else
        return 1.0;
}
