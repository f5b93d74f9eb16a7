// Fuzzes payload location against plain rules written out here: the search
// finds the first place below a quarter of the payload where std::search
// finds the whole payload in the window; a packet whose window starts with a
// KLV key and a BER length of any size has its payload right after the
// length when the bytes there are the payload's, at 0 when the payload itself
// starts the window, and nowhere else.
#include <algorithm>
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
    // The first occurrence of the whole payload in the window, if it starts
    // before a quarter of the payload.
    const auto first = std::search(window.begin(), window.end(), payload.begin(), payload.end());
    const int64_t at = first == window.end() ? -1 : first - window.begin();
    const int64_t expected = at >= 0 && at < psize / 4 ? at : -1;
    if (found != expected)
        abort();

    // The same payload framed as a KLV triplet with a BER length of 1 to 9
    // bytes, saying the payload's size or more (the file may end inside the
    // value: then nothing follows the payload), followed by the window's
    // bytes; one payload byte may be changed.
    const int length_bytes = 1 + data[0] % 9;
    const bool cut_short = data[0] % 3 == 0;
    const uint64_t length = payload.size() + (cut_short ? 1 + data[size - 1] : 0);
    if (length_bytes == 1 && length > 127)
        return 0;
    std::vector<uint8_t> framed = {0x06, 0x0e, 0x2b, 0x34, 0x01, 0x02, 0x01, 0x01,
                                   0x0d, 0x01, 0x03, 0x01, 0x16, 0x01, 0x01, 0x01};
    if (length_bytes == 1) {
        framed.push_back(static_cast<uint8_t>(length));
    } else {
        framed.push_back(static_cast<uint8_t>(0x80 | (length_bytes - 1)));
        for (int i = length_bytes - 2; i >= 0; --i)
            framed.push_back(i >= 8 ? 0 : static_cast<uint8_t>(length >> (8 * i)));
    }
    const size_t header = framed.size();
    framed.insert(framed.end(), payload.begin(), payload.end());
    if (!cut_short)
        framed.insert(framed.end(), window.begin(), window.end());
    std::vector<uint8_t> packet = payload;
    if (data[0] >= 128)
        packet[window.size() % packet.size()] ^= 0x5a;
    auto holds_at = [&](size_t offset) {
        return offset + packet.size() <= framed.size() &&
            std::equal(packet.begin(), packet.end(), framed.begin() + static_cast<ptrdiff_t>(offset));
    };
    const int64_t want = holds_at(header) ? static_cast<int64_t>(header) : holds_at(0) ? 0 : -1;
    const int64_t located =
        inplace_norm_locate_payload(packet.data(), psize, framed.data(), static_cast<int64_t>(framed.size()));
    if (located != want)
        abort();
    return 0;
}
