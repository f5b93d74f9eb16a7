#include "file_io.h"

#include <cerrno>
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

int file_write_all(int fd, const uint8_t* buf, size_t len)
{
    while (len > 0) {
        const ssize_t r = write(fd, buf, len);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return -errno;
        }
        buf += r;
        len -= static_cast<size_t>(r);
    }
    return 0;
}
