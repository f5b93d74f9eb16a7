// Runs the whole lumetrim program on arbitrary input files: measure, normalise
// and write a destination, which must then have the source's length.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "fuzz_input_file.h"
#include "inplace_norm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_input_file in(data, size);
    const std::string dst = "/dev/shm/fuzz_lumetrim_out." + std::to_string(getpid());
    std::string src = in.path, target = "-16", out = dst;
    char* argv[] = {const_cast<char*>("lumetrim"), src.data(), target.data(), out.data()};
    const int r = lumetrim_main(4, argv);
    struct stat st;
    const bool written = stat(dst.c_str(), &st) == 0;
    // A destination exists only after success, and then it is a full copy.
    if (written && (r != 0 || st.st_size != static_cast<off_t>(size)))
        abort();
    unlink(dst.c_str());
    return 0;
}
