// Whole reads and writes on POSIX descriptors, retried across short transfers
// and interruptions.
#pragma once

#include <cstddef>
#include <cstdint>

// Reads up to len bytes at offset; returns the number read (less than len only
// at the end of the file) or -errno.
int64_t file_read_at(int fd, uint8_t* buf, int64_t len, int64_t offset);

// Writes all len bytes; returns 0 or -errno.
int file_write_all(int fd, const uint8_t* buf, size_t len);
