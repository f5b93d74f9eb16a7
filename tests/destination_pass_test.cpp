// The destination pass on a source made by hand: payload runs that join and
// part at the run limits, a payload of several MiB, one that ends the file,
// a stream left as it is, written into a new file (copied in the kernel, or
// through a buffer), a named temporary file and a pipe. Every destination must
// be the source with exactly the scaled payloads in place, which the test
// works out sample by sample with the codec's single conversions.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "inplace_norm.h"
#include "pcm_codec.h"
#include "support.h"

namespace {

// A source file of random bytes with payloads of 24-bit stereo PCM planted in
// it, and what the destination must hold.
struct hand_made_source {
    std::string path;
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> expected;
    std::vector<payload_place> places;
};

hand_made_source make_source(double gain)
{
    hand_made_source s;
    s.path = scratch_dir() + "/hand_made.mxf";
    std::mt19937 rng(77);
    s.bytes.resize(12 << 20);
    for (auto& b : s.bytes)
        b = static_cast<uint8_t>(rng());
    // Gaps between payloads around the run limits (32 bytes apart still join,
    // 4 MiB is as long as a run grows), a payload larger than that, stream 2
    // between them, and the last payload ending the file.
    int64_t pos = 100;
    const std::pair<int64_t, int32_t> layout[] = {{0, 6000},    {20, 6000}, {32, 6000},   {33, 6000},
                                                  {0, 6 << 20}, {20, 6000}, {4000, 1200}, {20, 6000}};
    int32_t stream = 1;
    for (const auto& [gap, size] : layout) {
        pos += gap;
        s.places.push_back({pos, size, stream, false});
        pos += size;
        stream = stream == 1 && size == 1200 ? 2 : 1;
    }
    s.places.push_back({static_cast<int64_t>(s.bytes.size()) - 3000, 3000, 2, false});
    s.places.push_back({static_cast<int64_t>(s.bytes.size()) - 9000, 6000, 1, false});
    std::sort(s.places.begin(), s.places.end(), [](auto& a, auto& b) { return a.pos < b.pos; });
    s.expected = s.bytes;
    for (const payload_place& p : s.places) {
        if (p.stream != 1)
            continue;
        uint8_t* at = s.expected.data() + p.pos;
        for (int32_t i = 0; i + 3 <= p.size; i += 3) {
            float x;
            pcm_to_float(&x, at + i, 3, AV_CODEC_ID_PCM_S24LE);
            x = static_cast<float>(static_cast<double>(x) * gain);
            float_to_pcm(&x, at + i, 3, AV_CODEC_ID_PCM_S24LE);
        }
    }
    FILE* f = fopen(s.path.c_str(), "wb");
    fwrite(s.bytes.data(), 1, s.bytes.size(), f);
    fclose(f);
    return s;
}

// A context as the scan would leave it for the source.
inplace_norm_ctx* context_for(const hand_made_source& s, double gain)
{
    auto* ctx = new inplace_norm_ctx;
    ctx->path = s.path;
    ctx->fd = open(s.path.c_str(), O_RDONLY);
    measurement_init(&ctx->measured, 3);
    EXPECT_EQ(measurement_add_track(&ctx->measured, 1, AV_CODEC_ID_PCM_S24LE, 2, 48000, TRACK_FLOAT), 0);
    EXPECT_EQ(measurement_add_track(&ctx->measured, 2, AV_CODEC_ID_PCM_S24LE, 2, 48000, TRACK_FLOAT), 0);
    ctx->gains = {gain, NAN};
    for (const payload_place& p : s.places) {
        packet_table_append(&ctx->packets, p);
        inplace_norm_add_fingerprint(&ctx->payload_sums, p, s.bytes.data() + p.pos);
    }
    return ctx;
}

}  // namespace

TEST(DestinationPass, EveryWayOfWritingGivesTheSourceWithExactlyTheScaledPayloads)
{
    const double gain = 0.6;
    const hand_made_source s = make_source(gain);
    inplace_norm_ctx* ctx = context_for(s, gain);
    const std::string dst = scratch_dir() + "/hand_made_out.mxf";
    for (const auto& [unnamed, clone] : {std::pair{true, true}, std::pair{true, false}, std::pair{false, false}}) {
        ctx->unnamed_destination = unnamed;
        ctx->clone_destination = clone;
        ASSERT_EQ(inplace_norm_write(ctx, dst.c_str()), 0) << unnamed << clone;
        EXPECT_TRUE(read_file(dst) == s.expected) << "unnamed " << unnamed << ", clone " << clone;
    }
    // A pipe is written in order, the unchanged stretches through a buffer.
    const std::string fifo = scratch_dir() + "/hand_made_fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::vector<uint8_t> received;
    std::thread reader([&] {
        const int fd = open(fifo.c_str(), O_RDONLY);
        uint8_t buf[65536];
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
            received.insert(received.end(), buf, buf + n);
        close(fd);
    });
    EXPECT_EQ(inplace_norm_write(ctx, fifo.c_str()), 0);
    reader.join();
    EXPECT_TRUE(received == s.expected);
    // A full device fails as the destination's fault.
    EXPECT_EQ(inplace_norm_write(ctx, "/dev/full"), -ENOSPC);
    inplace_norm_destroy(&ctx);
}

TEST(DestinationPass, APayloadThatChangedSinceTheScanFailsTheWholePass)
{
    const hand_made_source s = make_source(0.5);
    inplace_norm_ctx* ctx = context_for(s, 0.5);
    const std::string dst = scratch_dir() + "/changed_out.mxf";
    // One byte of a payload in the middle, then one of the last payload: both
    // found whether the pass copies or shares the rest.
    for (const int64_t at : {s.places[3].pos + 7, s.places.back().pos + s.places.back().size - 1}) {
        const int fd = open(s.path.c_str(), O_WRONLY);
        const uint8_t poke = static_cast<uint8_t>(s.bytes[static_cast<size_t>(at)] ^ 0x40);
        ASSERT_EQ(pwrite(fd, &poke, 1, at), 1);
        close(fd);
        EXPECT_EQ(inplace_norm_write(ctx, dst.c_str()), -EIO);
        EXPECT_FALSE(std::filesystem::exists(dst));
        const int back = open(s.path.c_str(), O_WRONLY);
        ASSERT_EQ(pwrite(back, &s.bytes[static_cast<size_t>(at)], 1, at), 1);
        close(back);
    }
    // A source cut short before its last payload's end.
    ASSERT_EQ(truncate(s.path.c_str(), static_cast<off_t>(s.bytes.size() - 10)), 0);
    EXPECT_EQ(inplace_norm_write(ctx, dst.c_str()), -EIO);
    EXPECT_FALSE(std::filesystem::exists(dst));
    inplace_norm_destroy(&ctx);
}
