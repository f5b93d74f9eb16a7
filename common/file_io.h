// Whole reads and writes on POSIX descriptors, retried across short transfers
// and interruptions, and copies that stay inside the kernel where it can.
#pragma once

#include <cstddef>
#include <cstdint>

// Reads up to len bytes at offset; returns the number read (less than len only
// at the end of the file) or -errno.
int64_t file_read_at(int fd, uint8_t* buf, int64_t len, int64_t offset);

// Writes all len bytes at the descriptor's position; returns 0 or -errno.
int file_write_all(int fd, const uint8_t* buf, size_t len);

// Writes all len bytes at offset; returns 0 or -errno.
int file_write_at(int fd, const uint8_t* buf, size_t len, int64_t offset);

// Makes dst_fd share all of src_fd's data (FICLONE): no bytes are copied and
// no space is taken until either file changes. Returns 0, or -errno where the
// file system cannot (another file system, or one without shared extents).
int file_clone(int dst_fd, int src_fd);

// The copy-on-write setting of a file, as file_share_finely found it.
struct file_share_setting {
    bool changed = false;
    uint32_t xflags = 0;
    uint32_t cowextsize = 0;
};

// Asks the file system to take new space for changes to blocks shared with
// another file one block at a time, not in the large chunks it would
// otherwise allocate around each change. Nothing happens where it has no
// such setting. Returns the setting it replaced.
file_share_setting file_share_finely(int fd);

// Gives the file back the setting file_share_finely replaced.
void file_share_restore(int fd, const file_share_setting& setting);

// Copies up to len bytes of src_fd from *src_offset to dst_fd at its
// position, advancing both, and returns the number copied (less than len only
// at the end of the source) or -errno, with *write_failed telling whether the
// destination failed rather than the source. The copy stays inside the kernel
// (copy_file_range: a server-side copy on NFS 4.2 and SMB, shared blocks
// where the file system can) while *in_kernel is true; where the kernel
// cannot (older kernels, across file systems, devices and pipes) it clears
// *in_kernel and goes on through buf, as later calls then do at once; without
// a buf (buf_size 0) it returns what the kernel copied.
int64_t file_copy(int src_fd, int64_t* src_offset, int dst_fd, int64_t len, bool* in_kernel, uint8_t* buf,
                  size_t buf_size, bool* write_failed);
