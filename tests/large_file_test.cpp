// The destination pass on a source larger than 4 GiB: a sparse file with PCM
// payloads below, across and beyond the 4 GiB boundary, written through a
// pipe to a reader that checks every byte.
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "inplace_norm.h"
#include "pcm_codec.h"
#include "support.h"

namespace {

constexpr int64_t gib = int64_t(1) << 30;

struct planted {
    payload_place place;
    std::vector<uint8_t> source;    // the bytes in the source
    std::vector<uint8_t> expected;  // the bytes the destination must hold
};

}  // namespace

TEST(LargeFiles, PayloadsBeyondFourGiBAreRewrittenInPlace)
{
    const std::string src = scratch_dir() + "/sparse.mxf";
    const int64_t file_size = 4 * gib + (16 << 20) + 123;
    const int wfd = open(src.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(wfd, 0);
    ASSERT_EQ(ftruncate(wfd, file_size), 0);

    const double gain = 0.5;
    std::mt19937 rng(5);
    std::vector<planted> payloads;
    for (int64_t pos : {int64_t(100), 4 * gib - 3000, 4 * gib + 3007, 4 * gib + (9 << 20), file_size - 6000}) {
        planted p;
        p.place = {pos, 6000, 1};  // 1000 stereo frames of 24-bit PCM
        p.source.resize(6000);
        for (auto& b : p.source)
            b = static_cast<uint8_t>(rng());
        ASSERT_EQ(pwrite(wfd, p.source.data(), p.source.size(), pos), 6000);
        std::vector<float> s(2000);
        p.expected = p.source;
        pcm_to_float(s.data(), p.source.data(), 6000, AV_CODEC_ID_PCM_S24LE);
        for (float& x : s)
            x = static_cast<float>(static_cast<double>(x) * gain);
        float_to_pcm(s.data(), p.expected.data(), 6000, AV_CODEC_ID_PCM_S24LE);
        payloads.push_back(std::move(p));
    }
    close(wfd);

    auto* ctx = new inplace_norm_ctx;
    ctx->path = src;
    ctx->fd = open(src.c_str(), O_RDONLY);
    measurement_init(&ctx->measured, 2);
    ASSERT_EQ(measurement_add_track(&ctx->measured, 1, AV_CODEC_ID_PCM_S24LE, 2, 48000, TRACK_FLOAT), 0);
    ctx->gains = {gain};
    for (const planted& p : payloads) {
        packet_table_append(&ctx->packets, p.place);
        inplace_norm_add_fingerprint(&ctx->payload_sums, p.place, p.source.data());
    }

    const std::string fifo = scratch_dir() + "/large_out";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int64_t received = 0;
    int64_t wrong = -1;  // first offset whose byte is not what it should be
    std::thread reader([&] {
        const int fd = open(fifo.c_str(), O_RDONLY);
        std::vector<uint8_t> buf(1 << 20), zeros(1 << 20, 0);
        for (ssize_t n; (n = read(fd, buf.data(), buf.size())) > 0; received += n) {
            // Compare the block with what the source's holes and the scaled
            // payloads make of it.
            std::vector<uint8_t> want(zeros.begin(), zeros.begin() + n);
            for (const planted& p : payloads) {
                const int64_t from = std::max(p.place.pos, received), to = std::min(p.place.pos + 6000, received + n);
                if (from < to)
                    std::memcpy(want.data() + (from - received), p.expected.data() + (from - p.place.pos),
                                static_cast<size_t>(to - from));
            }
            if (wrong < 0 && std::memcmp(want.data(), buf.data(), static_cast<size_t>(n)) != 0)
                for (ssize_t i = 0; i < n; ++i)
                    if (want[static_cast<size_t>(i)] != buf[static_cast<size_t>(i)]) {
                        wrong = received + i;
                        break;
                    }
        }
        close(fd);
    });
    EXPECT_EQ(inplace_norm_write(ctx, fifo.c_str()), 0);
    reader.join();
    EXPECT_EQ(received, file_size);
    EXPECT_EQ(wrong, -1);

    // A source that no longer holds a payload's bytes is caught, even beyond 4 GiB.
    const int cfd = open(src.c_str(), O_WRONLY);
    const uint8_t poke = static_cast<uint8_t>(payloads[3].source[10] ^ 1);
    ASSERT_EQ(pwrite(cfd, &poke, 1, payloads[3].place.pos + 10), 1);
    close(cfd);
    EXPECT_EQ(inplace_norm_write(ctx, "/dev/null"), -EIO);
    inplace_norm_destroy(&ctx);
    unlink(src.c_str());
}
