// Where each PCM payload the demuxer hands out lies in the source, and the
// fingerprints that let the destination pass check it reads back the same
// bytes.
//
// A packet whose position holds a KLV key (frame-wrapped essence) has its
// payload right after the key's length; its first bytes there are compared
// with the packet's, from the bytes the demuxer has just read where it can,
// and the destination pass compares all of them through the fingerprints. A
// D-10 AES3 element, which the demuxer converts, is read and converted back.
// Any other position (clip-wrapped essence read in pieces) is searched, and
// the piece found must not run into a KLV element (a damaged clip length).
#pragma once

#include <cstdint>
#include <vector>

#include "av_ptr.h"
#include "byte_buffer.h"
#include "packet_table.h"
#include "source_io.h"

// Offset, below size / 4, at which the whole payload equals window[offset ..
// offset + size), or -1 when there is none (and always for a payload of fewer
// than 4 bytes). window_len is the number of bytes actually read.
int64_t inplace_norm_locate(const uint8_t* payload, int size, const uint8_t* window, int64_t window_len);

// When the window starts with a KLV key (a SMPTE universal label, 06 0e 2b 34)
// and a BER length, returns the offset of the value and stores its length in
// *length; otherwise returns -1.
int64_t inplace_norm_klv_value(const uint8_t* window, int64_t window_len, uint64_t* length);

// Offset of the payload in a window read from the packet's reported position,
// or -1 when it is not there. A window that starts with a KLV key and a BER
// length has the payload right after that length, whatever the length (the
// file may end inside the value), or, for a piece of essence that merely
// begins like a key, at offset 0; otherwise not at all. Only a window that
// does not start with a key is searched, with inplace_norm_locate.
int64_t inplace_norm_locate_payload(const uint8_t* payload, int size, const uint8_t* window, int64_t window_len);

// For a payload the demuxer converted from a D-10 AES3 element: when the
// window starts with a KLV key of such an element whose value converts
// exactly to the payload for a track of the given channels and PCM codec,
// returns the offset of the value and stores its length in *value_size;
// otherwise returns -1.
int64_t inplace_norm_locate_aes3(const uint8_t* payload, int size, const uint8_t* window, int64_t window_len,
                                 int channels, int codec_id, int32_t* value_size);

// A payload's fingerprint: its place and a CRC-32C of its bytes, spread over
// 64 bits. Sums of them are compared, so the order of adding does not count.
uint64_t payload_fingerprint(const payload_place& place, const uint8_t* bytes);

// Fingerprints are summed per this many bytes of the source, so that the
// destination pass can check what it reads back as it goes.
inline constexpr int payload_group_shift = 26;  // 64 MiB

// Adds a fingerprint to the sum of the group of the source that holds pos.
void payload_sums_add(std::vector<uint64_t>* sums, int64_t pos, uint64_t fingerprint);

// Adds a payload's fingerprint to the sum of its group of the source.
void inplace_norm_add_fingerprint(std::vector<uint64_t>* sums, const payload_place& place, const uint8_t* bytes);

// Whether the file at fd ends as a complete MXF file does: with a random
// index pack, whose length its last four bytes give. A file cut short ends
// elsewhere.
bool payload_file_complete(int fd);

struct payload_locator {
    int fd = -1;
    const source_io* io = nullptr;  // what the demuxer has just read, or null
    byte_buffer window;
    int64_t file_size = -1;           // -1 until needed
    int complete = -1;                // payload_file_complete, -1 until needed
    std::vector<int64_t> piece_ends;  // by stream: where its last piece found by search ends, or -1
    bool cut_inside = false;          // the D-10 element not found runs past the end of the file
};

// What a packet of a PCM track of the given channels and codec was located
// as: its place, and the fingerprint of the bytes there.
struct located_payload {
    payload_place place;
    uint64_t fingerprint = 0;
};

// Locates the packet's payload in the source. False when it is not found (the
// packet has no position, the bytes differ, a read failed).
bool payload_locator_find(payload_locator* loc, const AVPacket& pkt, int channels, int codec_id, located_payload* out);

// The stream whose last piece found by search ends where neither a KLV key
// follows nor the file ends, or -1. A clip-wrapped element whose length was
// damaged to say less ends inside its own sound: the demuxer skips the rest
// to the next key, and those samples would stay unscaled.
int payload_locator_open_clip(payload_locator* loc);
