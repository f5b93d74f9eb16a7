// Runs the whole lumetrim program on arbitrary input files: measure, normalise
// and write a destination. A destination exists only after success, and then
// it re-demuxes to the source's packet places and sizes and differs from the
// source only inside the payloads the scan located.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "fuzz_input_file.h"
#include "inplace_norm.h"

namespace {

using packet_list = std::vector<std::tuple<int, int64_t, int>>;

// (stream, position, size) of every packet the demuxer reads; false when the
// file cannot be opened.
bool demux_places(const std::string& path, packet_list* out)
{
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0)
        return false;
    av_format_ptr fc(raw);
    if (avformat_find_stream_info(fc.get(), nullptr) < 0)
        return false;
    av_packet_ptr pkt(av_packet_alloc());
    while (av_read_frame(fc.get(), pkt.get()) >= 0) {
        out->emplace_back(pkt->stream_index, pkt->pos, pkt->size);
        av_packet_unref(pkt.get());
    }
    return true;
}

std::vector<uint8_t> file_bytes(const std::string& path)
{
    std::vector<uint8_t> bytes;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return bytes;
    uint8_t buf[65536];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;)
        bytes.insert(bytes.end(), buf, buf + n);
    fclose(f);
    return bytes;
}

// Marks the payloads the scan locates in the source.
std::vector<bool> located_payloads(const std::string& src, size_t size)
{
    std::vector<bool> inside(size, false);
    inplace_norm_ctx* ctx = nullptr;
    if (inplace_norm_create(&ctx, src.c_str()) > 0) {
        ctx->measured.threads = 1;
        inplace_norm_meters_init(ctx);
        if (inplace_norm_read(ctx) == 0) {
            packet_table_reader r = packet_table_begin(ctx->packets);
            for (payload_place p; packet_table_next(&r, &p);)
                for (int64_t i = p.pos; i < p.pos + p.size && i < static_cast<int64_t>(size); ++i)
                    inside[static_cast<size_t>(i)] = true;
        }
    }
    if (ctx)
        inplace_norm_destroy(&ctx);
    return inside;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_input_file in(data, size);
    const std::string dst = "/dev/shm/fuzz_lumetrim_out." + std::to_string(getpid());
    std::string src = in.path, target = "-16", out = dst;
    char* argv[] = {const_cast<char*>("lumetrim"), src.data(), target.data(), out.data()};
    const int r = lumetrim_main(4, argv);
    struct stat st;
    const bool written = stat(dst.c_str(), &st) == 0;
    if (!written) {
        return 0;
    }
    if (r != 0 || st.st_size != static_cast<off_t>(size))
        abort();
    packet_list before, after;
    if (demux_places(src, &before) != demux_places(dst, &after) || before != after)
        abort();
    const std::vector<uint8_t> copy = file_bytes(dst);
    const std::vector<bool> inside = located_payloads(src, size);
    for (size_t i = 0; i < size; ++i)
        if (copy[i] != data[i] && !inside[i])
            abort();
    unlink(dst.c_str());
    return 0;
}
