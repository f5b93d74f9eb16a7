// Fuzzes payload location: the offset found is the first below a quarter of the
// payload at which the whole payload lies inside the window and matches.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "inplace_norm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    // The first byte splits the rest into payload and window; the window is
    // copied so that reading past it is caught.
    const size_t split = 1 + data[0] * (size - 1) / 256;
    const std::vector<uint8_t> payload(data + 1, data + split);
    const std::vector<uint8_t> window(data + split, data + size);
    if (payload.empty())
        return 0;
    const int psize = static_cast<int>(payload.size());
    const int64_t found =
        inplace_norm_locate(payload.data(), psize, window.data(), static_cast<int64_t>(window.size()));
    int64_t expected = -1;
    for (size_t i = 0; i < static_cast<size_t>(psize / 4) && i + payload.size() <= window.size(); ++i)
        if (std::memcmp(window.data() + i, payload.data(), payload.size()) == 0) {
            expected = static_cast<int64_t>(i);
            break;
        }
    if (found != expected)
        abort();
    return 0;
}
