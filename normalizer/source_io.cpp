#include "source_io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "file_io.h"

namespace {

// The demuxer's buffer: a KLV key and its length, with a few bytes of what
// follows. Each element it steps over (a fill item, a video element) costs a
// read of this size; a payload is read straight into its packet.
constexpr int buffer_bytes = 32;
// How many bytes of its small reads are kept.
constexpr size_t seen_bytes = 4096;

// FFmpeg's read function for the I/O context: the next `size` bytes.
int source_io_read(void* opaque, uint8_t* buf, int size)
{
    auto* io = static_cast<source_io*>(opaque);
    const int64_t got = file_read_at(io->fd, buf, size, io->pos);
    if (got < 0)
        return static_cast<int>(got);  // -errno is FFmpeg's AVERROR(errno)
    if (got == 0)
        return AVERROR_EOF;
    if (size <= buffer_bytes) {
        if (io->pos != io->seen_start + static_cast<int64_t>(io->seen.size())) {
            io->seen.clear();
            io->seen_start = io->pos;
        }
        io->seen.insert(io->seen.end(), buf, buf + got);
        if (io->seen.size() > seen_bytes) {
            const size_t drop = io->seen.size() - seen_bytes;
            io->seen.erase(io->seen.begin(), io->seen.begin() + static_cast<ptrdiff_t>(drop));
            io->seen_start += static_cast<int64_t>(drop);
        }
    }
    io->pos += got;
    return static_cast<int>(got);
}

// FFmpeg's seek function: a position, or the file's size.
int64_t source_io_seek(void* opaque, int64_t offset, int whence)
{
    auto* io = static_cast<source_io*>(opaque);
    int64_t pos;
    switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE: return io->size;
    case SEEK_SET: pos = offset; break;
    case SEEK_CUR: pos = io->pos + offset; break;
    case SEEK_END: pos = io->size + offset; break;
    default: return AVERROR(EINVAL);
    }
    if (pos < 0)
        return AVERROR(EINVAL);
    io->pos = pos;
    return pos;
}

}  // namespace

void source_io_closer::operator()(source_io* io) const
{
    if (io->avio) {
        av_freep(&io->avio->buffer);
        avio_context_free(&io->avio);
    }
    delete io;
}

source_io_ptr source_io_open(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return nullptr;
    source_io_ptr io(new source_io);
    io->fd = fd;
    io->size = st.st_size;
    auto* buffer = static_cast<uint8_t*>(av_malloc(buffer_bytes));
    if (!buffer)
        return nullptr;
    io->avio = avio_alloc_context(buffer, buffer_bytes, 0, io.get(), source_io_read, nullptr, source_io_seek);
    if (!io->avio) {
        av_free(buffer);
        return nullptr;
    }
    return io;
}

int64_t source_io_seen(const source_io& io, int64_t pos, int64_t len, uint8_t* out)
{
    const int64_t end = io.seen_start + static_cast<int64_t>(io.seen.size());
    if (pos < io.seen_start || pos >= end)
        return 0;
    const int64_t n = std::min(len, end - pos);
    std::memcpy(out, io.seen.data() + (pos - io.seen_start), static_cast<size_t>(n));
    return n;
}
