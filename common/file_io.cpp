#include "file_io.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

int64_t file_read_at(int fd, uint8_t* buf, int64_t len, int64_t offset)
{
    int64_t done = 0;
    while (done < len) {
        const ssize_t r = pread(fd, buf + done, static_cast<size_t>(len - done), offset + done);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return -errno;
        }
        if (r == 0)
            break;
        done += r;
    }
    return done;
}

namespace {

// Writes all of buf at offset, or at the file's position with offset -1.
int file_write_whole(int fd, const uint8_t* buf, size_t len, int64_t offset)
{
    while (len > 0) {
        const ssize_t r = offset < 0 ? write(fd, buf, len) : pwrite(fd, buf, len, offset);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return r < 0 ? -errno : -EIO;  // nothing written: no progress to wait for
        buf += r;
        len -= static_cast<size_t>(r);
        if (offset >= 0)
            offset += r;
    }
    return 0;
}

}  // namespace

int file_write_all(int fd, const uint8_t* buf, size_t len)
{
    return file_write_whole(fd, buf, len, -1);
}

int file_write_at(int fd, const uint8_t* buf, size_t len, int64_t offset)
{
    return file_write_whole(fd, buf, len, offset);
}

int file_clone(int dst_fd, int src_fd)
{
    return ioctl(dst_fd, FICLONE, src_fd) == 0 ? 0 : -errno;
}

file_share_setting file_share_finely(int fd)
{
    file_share_setting old;
    struct fsxattr attr = {};
    struct stat st;
    if (fstat(fd, &st) != 0 || ioctl(fd, FS_IOC_FSGETXATTR, &attr) != 0)
        return old;
    old.xflags = attr.fsx_xflags;
    old.cowextsize = attr.fsx_cowextsize;
    attr.fsx_xflags |= FS_XFLAG_COWEXTSIZE;
    attr.fsx_cowextsize = static_cast<uint32_t>(st.st_blksize);
    old.changed = ioctl(fd, FS_IOC_FSSETXATTR, &attr) == 0;
    return old;
}

void file_share_restore(int fd, const file_share_setting& setting)
{
    struct fsxattr attr = {};
    if (!setting.changed || ioctl(fd, FS_IOC_FSGETXATTR, &attr) != 0)
        return;
    attr.fsx_xflags = setting.xflags;
    attr.fsx_cowextsize = setting.cowextsize;
    (void)ioctl(fd, FS_IOC_FSSETXATTR, &attr);
}

namespace {

// The kernel cannot copy between these two descriptors; any other error is
// the copy's own.
bool copy_unsupported(int err)
{
    return err == EXDEV || err == EOPNOTSUPP || err == ENOSYS || err == EINVAL;
}

// Errors of a kernel copy that only the destination can have caused.
bool destination_error(int err)
{
    return err == ENOSPC || err == EFBIG || err == EDQUOT || err == EROFS || err == EPIPE || err == ETXTBSY ||
        err == EPERM || err == EACCES;
}

}  // namespace

int64_t file_copy(int src_fd, int64_t* src_offset, int dst_fd, int64_t len, bool* in_kernel, uint8_t* buf,
                  size_t buf_size, bool* write_failed)
{
    *write_failed = false;
    int64_t done = 0;
    while (done < len && *in_kernel) {
        loff_t off = *src_offset;
        const ssize_t r = copy_file_range(src_fd, &off, dst_fd, nullptr,
                                          static_cast<size_t>(std::min<int64_t>(len - done, 1 << 30)), 0);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            if (done == 0 && copy_unsupported(errno)) {
                *in_kernel = false;
                break;
            }
            *write_failed = destination_error(errno);
            return -errno;
        }
        if (r == 0)
            return done;
        done += r;
        *src_offset += r;
    }
    if (buf_size == 0)
        return done;
    while (done < len) {
        const int64_t want = std::min<int64_t>(len - done, static_cast<int64_t>(buf_size));
        const int64_t got = file_read_at(src_fd, buf, want, *src_offset);
        if (got < 0)
            return got;
        if (const int err = file_write_all(dst_fd, buf, static_cast<size_t>(got)); err != 0) {
            *write_failed = true;
            return err;
        }
        done += got;
        *src_offset += got;
        if (got < want)
            break;
    }
    return done;
}
