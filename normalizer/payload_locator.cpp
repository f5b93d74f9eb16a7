#include "payload_locator.h"

#include <algorithm>
#include <cstring>
#include <sys/stat.h>

#include "aes3_element.h"
#include "crc32c.h"
#include "file_io.h"

namespace {

// The first bytes of every SMPTE universal label, and so of every KLV key.
constexpr uint8_t ul_prefix[4] = {0x06, 0x0e, 0x2b, 0x34};
// A KLV key and the longest BER length.
constexpr int64_t klv_header_max_bytes = 16 + 9;
// Payload bytes compared with the packet's at the place its framing gives,
// at most: as many as the demuxer's last small read holds, when it has just
// passed over them. The destination pass compares every byte.
constexpr int64_t framed_check_bytes = 96;

// Where a packet that starts at a KLV key has its payload: right after the
// length, when the first `check` bytes there equal the packet's; at 0 when the
// packet's samples merely begin like a key; -1 when neither. The window must
// hold those bytes.
int64_t locate_framed(const uint8_t* payload, int size, const uint8_t* window, int64_t window_len, int64_t value,
                      int64_t check)
{
    if (std::min<int64_t>(check, size) <= 0)
        return -1;
    const size_t n = static_cast<size_t>(std::min<int64_t>(check, size));
    if (value + static_cast<int64_t>(n) <= window_len && std::memcmp(window + value, payload, n) == 0)
        return value;
    // A piece of clip-wrapped essence whose samples happen to begin like a
    // key: the payload is exactly at the position, not searched for.
    if (static_cast<int64_t>(n) <= window_len && std::memcmp(window, payload, n) == 0)
        return 0;
    return -1;
}

}  // namespace

int64_t inplace_norm_locate(const uint8_t* payload, int size, const uint8_t* window, int64_t window_len)
{
    const int quarter = size / 4;
    for (int64_t i = 0; i < quarter && i + size <= window_len; ++i)
        if (window[i] == payload[0] && std::memcmp(window + i, payload, static_cast<size_t>(size)) == 0)
            return i;
    return -1;
}

int64_t inplace_norm_klv_value(const uint8_t* window, int64_t window_len, uint64_t* length)
{
    constexpr int64_t key_bytes = 16;
    if (window_len < key_bytes + 1 || std::memcmp(window, ul_prefix, sizeof ul_prefix) != 0)
        return -1;
    const uint8_t first = window[key_bytes];
    if (first < 0x80) {
        *length = first;
        return key_bytes + 1;
    }
    // Long form: the low bits count the big-endian length bytes that follow.
    const int n = first & 0x7f;
    if (n == 0 || n > 8 || window_len < key_bytes + 1 + n)
        return -1;
    uint64_t len = 0;
    for (int i = 0; i < n; ++i)
        len = len << 8 | window[key_bytes + 1 + i];
    *length = len;
    return key_bytes + 1 + n;
}

int64_t inplace_norm_locate_payload(const uint8_t* payload, int size, const uint8_t* window, int64_t window_len)
{
    if (size <= 0)
        return -1;
    // A packet that starts at a KLV key holds its payload right after the
    // key's length and nowhere else, whatever the length says: the packet's
    // size when the element is whole, more when the file ends inside it.
    // Searching instead could match earlier in a payload that repeats with a
    // short period and starts like the end of its own length field (a
    // constant sample value, digital silence), and rewriting it there would
    // corrupt the length.
    uint64_t length = 0;
    if (const int64_t value = inplace_norm_klv_value(window, window_len, &length); value >= 0)
        return locate_framed(payload, size, window, window_len, value, size);
    if (size < 4)
        return -1;
    return inplace_norm_locate(payload, size, window, window_len);
}

int64_t inplace_norm_locate_aes3(const uint8_t* payload, int size, const uint8_t* window, int64_t window_len,
                                 int channels, int codec_id, int32_t* value_size)
{
    uint64_t length = 0;
    const int64_t value = inplace_norm_klv_value(window, window_len, &length);
    if (value < 0 || !aes3_is_element_key(window) || length > static_cast<uint64_t>(window_len - value) ||
        !aes3_matches_pcm(window + value, static_cast<int64_t>(length), channels, codec_id, payload, size))
        return -1;
    *value_size = static_cast<int32_t>(length);
    return value;
}

uint64_t payload_fingerprint(const payload_place& p, const uint8_t* bytes)
{
    uint64_t x = static_cast<uint64_t>(p.pos) * 0x9E3779B97F4A7C15ull;
    x ^= static_cast<uint64_t>(static_cast<uint32_t>(p.size)) << 32 | crc32c(bytes, static_cast<size_t>(p.size));
    x ^= static_cast<uint64_t>(static_cast<uint32_t>(p.stream)) * 0xC2B2AE3D27D4EB4Full;
    // splitmix64's finaliser spreads every input bit over the whole sum term.
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 31;
    return x;
}

void payload_sums_add(std::vector<uint64_t>* sums, int64_t pos, uint64_t fingerprint)
{
    const size_t group = static_cast<size_t>(pos >> payload_group_shift);
    if (sums->size() <= group)
        sums->resize(group + 1);
    (*sums)[group] += fingerprint;
}

void inplace_norm_add_fingerprint(std::vector<uint64_t>* sums, const payload_place& place, const uint8_t* bytes)
{
    payload_sums_add(sums, place.pos, payload_fingerprint(place, bytes));
}

namespace {

// Bytes [pos, pos + want) of the source, or fewer at its end, read now. *avail
// tells how many; null when the read fails.
const uint8_t* locator_read(payload_locator* loc, int64_t pos, int64_t want, int64_t* avail)
{
    if (static_cast<int64_t>(loc->window.size()) < want)
        loc->window.resize(static_cast<size_t>(want));
    const int64_t got = file_read_at(loc->fd, loc->window.data(), want, pos);
    if (got < 0)
        return nullptr;
    *avail = got;
    return loc->window.data();
}

// The KLV key, the length and up to `check` bytes after them at pos: what the
// demuxer has just read when that holds the whole framing and at least one
// byte of the value, else read now. *avail tells how many bytes the result
// holds; null when the read fails.
const uint8_t* locator_head(payload_locator* loc, int64_t pos, int64_t check, int64_t* avail)
{
    const int64_t want = klv_header_max_bytes + check;
    if (static_cast<int64_t>(loc->window.size()) < want)
        loc->window.resize(static_cast<size_t>(want));
    if (loc->io) {
        *avail = source_io_seen(*loc->io, pos, want, loc->window.data());
        uint64_t length = 0;
        const int64_t value = inplace_norm_klv_value(loc->window.data(), *avail, &length);
        if (value >= 0 && value < *avail)
            return loc->window.data();
    }
    return locator_read(loc, pos, want, avail);
}

int64_t locator_file_size(payload_locator* loc)
{
    if (loc->file_size < 0) {
        struct stat st;
        loc->file_size = fstat(loc->fd, &st) == 0 ? st.st_size : 0;
    }
    return loc->file_size;
}

// A D-10 AES3 element at the packet's position whose value converts exactly to
// the packet's samples.
bool locator_find_aes3(payload_locator* loc, const AVPacket& pkt, int channels, int codec_id, located_payload* out)
{
    int64_t avail = 0;
    const uint8_t* bytes = locator_read(loc, pkt.pos, klv_header_max_bytes + aes3_value_max_bytes, &avail);
    int32_t value_size = 0;
    const int64_t found =
        bytes ? inplace_norm_locate_aes3(pkt.data, pkt.size, bytes, avail, channels, codec_id, &value_size) : -1;
    if (found < 0) {
        uint64_t length = 0;
        const int64_t value = bytes ? inplace_norm_klv_value(bytes, avail, &length) : -1;
        loc->cut_inside = value >= 0 &&
            static_cast<uint64_t>(pkt.pos + value) + length > static_cast<uint64_t>(locator_file_size(loc));
        return false;
    }
    out->place = {pkt.pos + found, value_size, pkt.stream_index, true};
    out->fingerprint = payload_fingerprint(out->place, bytes + found);
    return true;
}

// The first place in [p, end) where a universal label's prefix starts, or
// end. memchr finds its first byte: every payload is searched so.
const uint8_t* find_ul_prefix(const uint8_t* p, const uint8_t* end)
{
    while (end - p >= 4) {
        p = static_cast<const uint8_t*>(std::memchr(p, ul_prefix[0], static_cast<size_t>(end - p - 3)));
        if (!p)
            return end;
        if (std::memcmp(p, ul_prefix, 4) == 0)
            return p;
        ++p;
    }
    return end;
}

// Whether any bytes of a payload begin a SMPTE universal label: a payload
// found where the file ends holds sound only if it holds no KLV key.
bool holds_key(const uint8_t* bytes, int size)
{
    const uint8_t* end = bytes + size;
    for (const uint8_t* p = bytes; (p = find_ul_prefix(p, end)) != end; ++p)
        if (p + 4 < end && p[4] >= 0x01 && p[4] <= 0x05)
            return true;
    return false;
}

// Whether a key starts at pos, or the file ends there (a key it was cut in
// included).
bool key_or_end_at(payload_locator* loc, int64_t pos)
{
    uint8_t next[4];
    const int64_t want = std::min<int64_t>(4, locator_file_size(loc) - pos);
    return want >= 0 && file_read_at(loc->fd, next, want, pos) == want && std::memcmp(next, ul_prefix, want) == 0;
}

// Where the KLV element at pos ends, by its key's registry category (1 to 5)
// and BER length; -1 when pos holds none.
int64_t element_end_at(payload_locator* loc, int64_t pos)
{
    uint8_t head[klv_header_max_bytes];
    const int64_t got = file_read_at(loc->fd, head, klv_header_max_bytes, pos);
    uint64_t length = 0;
    const int64_t value = got > 4 ? inplace_norm_klv_value(head, got, &length) : -1;
    if (value < 0 || head[4] < 0x01 || head[4] > 0x05 || length > static_cast<uint64_t>(locator_file_size(loc)))
        return -1;
    return pos + value + static_cast<int64_t>(length);
}

// What must follow the end of every element: the end of the file, or an
// element that ends where a key starts or past the end of a file cut short.
// Sound samples that merely begin like a key rarely pass for a whole element.
bool element_or_end_at(payload_locator* loc, int64_t pos)
{
    if (locator_file_size(loc) - pos < klv_header_max_bytes)
        return key_or_end_at(loc, pos);  // the end, or a key the file was cut in
    const int64_t end = element_end_at(loc, pos);
    return end >= 0 && (end >= locator_file_size(loc) || key_or_end_at(loc, end));
}

// Whether a payload at pos runs into a KLV element of the file. A damaged
// length makes the demuxer's packet take in the elements after the sound
// (the fill item, the video, the footer): the last of them ends exactly where
// the packet does. The last piece of clip-wrapped essence runs on over the
// fill and the footer: an element in it ends where another whole element
// follows, or where the file ends.
bool runs_into_element(payload_locator* loc, int64_t pos, const uint8_t* bytes, int size, bool framed)
{
    const uint8_t* end = bytes + size;
    for (const uint8_t* p = bytes; (p = find_ul_prefix(p, end)) != end; ++p) {
        const int64_t element_end = element_end_at(loc, pos + (p - bytes));
        if (element_end < 0)
            continue;
        if (framed ? element_end == pos + size : element_or_end_at(loc, element_end))
            return true;
    }
    return false;
}

// Whether a packet found right after the KLV key and length at its position
// is that whole element: the demuxer read exactly the length, a KLV key (or
// the end of the file) follows it, and no element of the file ends where the
// packet does inside it; or the file ends inside the
// element, a transfer cut short, and what the packet holds is sound. A damaged
// length fails this: too long, the packet runs over other elements (video,
// index tables, the footer); too short, the element's last samples follow it.
bool framed_element_whole(payload_locator* loc, const AVPacket& pkt, int64_t value, uint64_t length)
{
    const int64_t end = pkt.pos + value + pkt.size;
    if (static_cast<uint64_t>(pkt.size) == length)
        return key_or_end_at(loc, end) && !runs_into_element(loc, pkt.pos + value, pkt.data, pkt.size, true);
    if (static_cast<uint64_t>(pkt.size) > length || end != locator_file_size(loc))
        return false;
    if (loc->complete < 0)
        loc->complete = payload_file_complete(loc->fd) ? 1 : 0;
    return loc->complete == 0 && !holds_key(pkt.data, pkt.size);
}

}  // namespace

bool payload_file_complete(int fd)
{
    static constexpr uint8_t rip_key[16] = {0x06, 0x0e, 0x2b, 0x34, 0x02, 0x05, 0x01, 0x01,
                                            0x0d, 0x01, 0x02, 0x01, 0x01, 0x11, 0x01, 0x00};
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size < 21)
        return false;
    uint8_t tail[4];
    if (file_read_at(fd, tail, 4, st.st_size - 4) != 4)
        return false;
    const int64_t length = int64_t{tail[0]} << 24 | tail[1] << 16 | tail[2] << 8 | tail[3];
    uint8_t key[16];
    if (length < 21 || length > st.st_size || file_read_at(fd, key, 16, st.st_size - length) != 16)
        return false;
    // Byte 7 is the registry's version, which writers set differently.
    return std::memcmp(key, rip_key, 7) == 0 && std::memcmp(key + 8, rip_key + 8, 8) == 0;
}

bool payload_locator_find(payload_locator* loc, const AVPacket& pkt, int channels, int codec_id, located_payload* out)
{
    if (pkt.pos < 0 || pkt.size <= 0)
        return false;
    int64_t avail = 0;
    const uint8_t* head = locator_head(loc, pkt.pos, framed_check_bytes, &avail);
    uint64_t length = 0;
    const int64_t value = head ? inplace_norm_klv_value(head, avail, &length) : -1;
    int64_t found = -1;
    if (value >= 0) {
        if (aes3_is_element_key(head))
            return locator_find_aes3(loc, pkt, channels, codec_id, out);
        found = locate_framed(pkt.data, pkt.size, head, avail, value, std::min(avail - value, framed_check_bytes));
        if (found == value && !framed_element_whole(loc, pkt, value, length))
            return false;
    } else if (head) {
        // No framing to go by: the whole payload is compared with the file
        // at and just after the position.
        const int64_t reach = std::max<int64_t>(pkt.size / 4, klv_header_max_bytes);
        const uint8_t* bytes = locator_read(loc, pkt.pos, pkt.size + reach, &avail);
        found = bytes && pkt.size >= 4 ? inplace_norm_locate(pkt.data, pkt.size, bytes, avail) : -1;
        if (found >= 0 && runs_into_element(loc, pkt.pos + found, pkt.data, pkt.size, false))
            return false;
        if (found >= 0) {
            if (loc->piece_ends.size() <= static_cast<size_t>(pkt.stream_index))
                loc->piece_ends.resize(static_cast<size_t>(pkt.stream_index) + 1, -1);
            loc->piece_ends[static_cast<size_t>(pkt.stream_index)] = pkt.pos + found + pkt.size;
        }
    }
    if (found < 0)
        return false;
    out->place = {pkt.pos + found, pkt.size, pkt.stream_index, false};
    out->fingerprint = payload_fingerprint(out->place, pkt.data);
    return true;
}

int payload_locator_open_clip(payload_locator* loc)
{
    for (size_t s = 0; s < loc->piece_ends.size(); ++s)
        if (loc->piece_ends[s] >= 0 && !element_or_end_at(loc, loc->piece_ends[s]))
            return static_cast<int>(s);
    return -1;
}
