// Fuzzes payload location: the offset found by the search is the first below a
// quarter of the payload at which the whole payload lies inside the window and
// matches; a payload framed as a KLV triplet of its own size is found right
// after its length, whatever the bytes around it, or not at all when it
// differs from what follows the length.
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

    // The same payload framed as a KLV triplet with a BER length of 1 to 9
    // bytes, followed by the window's bytes; one payload byte may be changed.
    const int length_bytes = 1 + data[0] % 9;
    if (length_bytes == 1 && payload.size() > 127)
        return 0;
    std::vector<uint8_t> framed = {0x06, 0x0e, 0x2b, 0x34, 0x01, 0x02, 0x01, 0x01,
                                   0x0d, 0x01, 0x03, 0x01, 0x16, 0x01, 0x01, 0x01};
    if (length_bytes == 1) {
        framed.push_back(static_cast<uint8_t>(payload.size()));
    } else {
        framed.push_back(static_cast<uint8_t>(0x80 | (length_bytes - 1)));
        for (int i = length_bytes - 2; i >= 0; --i)
            framed.push_back(i >= 8 ? 0 : static_cast<uint8_t>(payload.size() >> (8 * i)));
    }
    const size_t header = framed.size();
    framed.insert(framed.end(), payload.begin(), payload.end());
    framed.insert(framed.end(), window.begin(), window.end());
    std::vector<uint8_t> packet = payload;
    const bool changed = data[0] >= 128;
    if (changed)
        packet[window.size() % packet.size()] ^= 0x5a;
    const int64_t at =
        inplace_norm_locate_payload(packet.data(), psize, framed.data(), static_cast<int64_t>(framed.size()));
    if (at != (changed ? -1 : static_cast<int64_t>(header)))
        abort();
    return 0;
}
