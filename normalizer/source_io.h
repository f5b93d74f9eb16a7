// The source as the demuxer reads it. FFmpeg reads through a buffer of 32 KiB
// by default, so that stepping over a discarded element (the video between
// two frames' sound) still reads up to 32 KiB of it; through this one it
// reads at most a few bytes of what it skips, and payloads straight into
// their packets. The bytes of the demuxer's small reads (KLV keys and lengths
// with the first bytes after them) are kept a while, so that the framing in
// front of a payload can be looked at without being read a second time.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "av_ptr.h"

struct source_io {
    int fd = -1;
    int64_t pos = 0;            // where the demuxer reads next
    int64_t size = 0;           // of the file when it was opened
    std::vector<uint8_t> seen;  // the bytes of the latest small reads, contiguous
    int64_t seen_start = 0;     // their offset in the file
    AVIOContext* avio = nullptr;
};

struct source_io_closer {
    void operator()(source_io* io) const;
};
using source_io_ptr = std::unique_ptr<source_io, source_io_closer>;

// An I/O context for FFmpeg over the open descriptor fd (which stays the
// caller's), to be set as a format context's pb before it is opened; it must
// outlive that format context. Null when out of memory or fd cannot be
// examined.
source_io_ptr source_io_open(int fd);

// Copies up to len bytes of the file from pos into out, as many as the
// demuxer's small reads have just passed over, and returns how many (0 when
// pos is not among them).
int64_t source_io_seen(const source_io& io, int64_t pos, int64_t len, uint8_t* out);
