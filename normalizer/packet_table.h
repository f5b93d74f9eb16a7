// The places of the PCM payloads found in the source, kept compactly: each
// entry is stored as its distance from the end of the previous payload, its
// size and its stream index (with the element flag in its low bit), each left
// out where it repeats the entry before, so that the table of an hours-long
// file stays small: a byte or two a payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct payload_place {
    int64_t pos = 0;     // offset of the payload's first byte in the source
    int32_t size = 0;    // bytes
    int32_t stream = 0;  // container stream index
    // The place holds a D-10 AES3 element's value (pos and size are those of
    // the raw value in the file), whose conversion is the packet's PCM.
    bool aes3_element = false;
};

struct packet_table {
    std::vector<std::vector<uint8_t>> chunks;
    size_t count = 0;
    int32_t max_size = 0;
    bool sorted = true;  // every entry starts at or after the previous one's start
    payload_place last;
    int64_t last_gap = 0;  // from the end of the entry before last to last's start
};

void packet_table_append(packet_table* table, const payload_place& place);

// Sorts the entries by position (stable: equal positions keep their order).
void packet_table_sort(packet_table* table);

// Reads the entries in order.
struct packet_table_reader {
    const packet_table* table = nullptr;
    size_t chunk = 0;
    size_t offset = 0;
    size_t index = 0;
    payload_place last;
    int64_t last_gap = 0;
};

packet_table_reader packet_table_begin(const packet_table& table);
// Stores the next entry in *place and returns true, or returns false at the end.
bool packet_table_next(packet_table_reader* reader, payload_place* place);
