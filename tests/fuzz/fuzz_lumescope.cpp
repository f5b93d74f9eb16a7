// Runs the whole lumescope program on arbitrary input files, both reports.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_input_file.h"
#include "lumescope.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_input_file in(data, size);
    static FILE* sink = std::fopen("/dev/null", "w");
    std::string path = in.path, mode = size % 2 ? "-j" : "-t";
    char* argv[] = {const_cast<char*>("lumescope"), mode.data(), path.data()};
    const int r = lumescope_run(3, argv, sink, 2);
    if (r != 0 && r != 1)
        abort();
    return 0;
}
