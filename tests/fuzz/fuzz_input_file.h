// For the fuzz targets that run a whole program: the fuzz input as a file
// the program can open by path, kept in memory, and FFmpeg kept quiet.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

extern "C" {
#include <libavutil/log.h>
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    av_log_set_level(AV_LOG_QUIET);
    return 0;
}

struct fuzz_input_file {
    int fd = -1;
    std::string path;
    fuzz_input_file(const uint8_t* data, size_t size)
    {
        fd = memfd_create("fuzz-input", 0);
        for (size_t done = 0; done < size;) {
            const ssize_t r = write(fd, data + done, size - done);
            if (r <= 0)
                break;
            done += static_cast<size_t>(r);
        }
        path = "/proc/self/fd/" + std::to_string(fd);
    }
    ~fuzz_input_file() { close(fd); }
};
