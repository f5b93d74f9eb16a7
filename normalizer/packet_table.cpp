#include "packet_table.h"

#include <algorithm>

namespace {

constexpr size_t chunk_bytes = 64 * 1024;
constexpr size_t max_entry_bytes = 4 * 10;  // four 64-bit varints at most

void put_varint(std::vector<uint8_t>& out, uint64_t v)
{
    while (v >= 0x80) {
        out.push_back(static_cast<uint8_t>(v | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<uint8_t>(v));
}

uint64_t get_varint(const std::vector<uint8_t>& in, size_t* offset)
{
    uint64_t v = 0;
    for (int shift = 0;; shift += 7) {
        const uint8_t b = in[(*offset)++];
        v |= static_cast<uint64_t>(b & 0x7F) << shift;
        if (!(b & 0x80))
            return v;
    }
}

// Signed distances map to unsigned ones with small magnitudes staying small.
uint64_t zigzag(int64_t v)
{
    return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
}

int64_t unzigzag(uint64_t v)
{
    return static_cast<int64_t>(v >> 1) ^ -static_cast<int64_t>(v & 1);
}

// An entry begins with a varint whose low three bits say what repeats the
// entry before: the gap from that payload's end, the size, and the stream
// (with its element flag) as the one after the previous entry's. What does not
// repeat follows: the gap (zigzag) in the rest of the first varint, or in one
// of its own when it is too large for that (the fourth bit), then the size and
// the stream in varints of their own. Frame-wrapped audio, a payload of each
// track in turn behind a short key and length, takes a byte an entry but for
// the first two tracks', after the video.
constexpr uint64_t large_gap = 8, same_gap = 4, same_size = 2, next_stream = 1;

uint64_t stream_code(const payload_place& p)
{
    return static_cast<uint64_t>(static_cast<uint32_t>(p.stream)) << 1 | (p.aes3_element ? 1 : 0);
}

}  // namespace

void packet_table_append(packet_table* t, const payload_place& p)
{
    if (t->chunks.empty() || t->chunks.back().size() + max_entry_bytes > chunk_bytes) {
        t->chunks.emplace_back();
        t->chunks.back().reserve(chunk_bytes);
    }
    if (t->count > 0 && p.pos < t->last.pos)
        t->sorted = false;
    auto& out = t->chunks.back();
    // Wrapping arithmetic: any two positions have a gap that reads back.
    const int64_t gap = static_cast<int64_t>(static_cast<uint64_t>(p.pos) - static_cast<uint64_t>(t->last.pos) -
                                             static_cast<uint64_t>(static_cast<int64_t>(t->last.size)));
    const uint64_t code = stream_code(p);
    uint64_t head = 0;
    if (gap == t->last_gap)
        head |= same_gap;
    else if (zigzag(gap) < (uint64_t(1) << 60))
        head |= zigzag(gap) << 4;
    else
        head |= large_gap;
    if (p.size == t->last.size)
        head |= same_size;
    if (code == stream_code(t->last) + 2)
        head |= next_stream;
    put_varint(out, head);
    if (head & large_gap)
        put_varint(out, zigzag(gap));
    if (!(head & same_size))
        put_varint(out, static_cast<uint32_t>(p.size));
    if (!(head & next_stream))
        put_varint(out, code);
    t->last = p;
    t->last_gap = gap;
    t->max_size = std::max(t->max_size, p.size);
    ++t->count;
}

void packet_table_sort(packet_table* t)
{
    if (t->sorted)
        return;
    std::vector<payload_place> all;
    all.reserve(t->count);
    packet_table_reader r = packet_table_begin(*t);
    for (payload_place p; packet_table_next(&r, &p);)
        all.push_back(p);
    std::stable_sort(all.begin(), all.end(),
                     [](const payload_place& a, const payload_place& b) { return a.pos < b.pos; });
    *t = packet_table{};
    for (const payload_place& p : all)
        packet_table_append(t, p);
}

packet_table_reader packet_table_begin(const packet_table& table)
{
    packet_table_reader r;
    r.table = &table;
    return r;
}

bool packet_table_next(packet_table_reader* r, payload_place* place)
{
    if (r->index >= r->table->count)
        return false;
    if (r->offset >= r->table->chunks[r->chunk].size()) {
        ++r->chunk;
        r->offset = 0;
    }
    const auto& in = r->table->chunks[r->chunk];
    const uint64_t head = get_varint(in, &r->offset);
    int64_t gap = r->last_gap;
    if (head & large_gap)
        gap = unzigzag(get_varint(in, &r->offset));
    else if (!(head & same_gap))
        gap = unzigzag(head >> 4);
    payload_place p;
    p.pos =
        static_cast<int64_t>(static_cast<uint64_t>(r->last.pos) +
                             static_cast<uint64_t>(static_cast<int64_t>(r->last.size)) + static_cast<uint64_t>(gap));
    p.size = head & same_size ? r->last.size : static_cast<int32_t>(get_varint(in, &r->offset));
    const uint64_t code = head & next_stream ? stream_code(r->last) + 2 : get_varint(in, &r->offset);
    p.stream = static_cast<int32_t>(code >> 1);
    p.aes3_element = (code & 1) != 0;
    r->last_gap = gap;
    r->last = p;
    ++r->index;
    *place = p;
    return true;
}
