// A deliverable as broadcasters exchange them: 1080-line MPEG-2 video at
// 50 Mbit/s beside eight mono 24-bit PCM tracks, the audio a seventh of the
// bytes. Measuring reads the audio and little else, normalising moves the
// audio twice and little else, and on a file system that shares blocks the
// destination takes new space for the audio alone. Bytes are counted with
// strace; new space with the file system's own count.
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support.h"

namespace {

const std::string lumetrim = LUMETRIM_PATH;
const std::string lumescope = LUMESCOPE_PATH;
constexpr int64_t mib = 1 << 20;

const std::string& deliverable()
{
    static const std::string path = [] {
        const std::string p = scratch_dir() + "/deliverable.mxf";
        std::string args = "-f lavfi -i testsrc2=size=1920x1080:rate=25:duration=20 ";
        std::string maps = "-map 0:v ";
        for (int i = 0; i < 8; ++i) {
            args += "-f lavfi -i 'aevalsrc=0.1*sin(2*PI*" + std::to_string(300 + 100 * i) + "*t):s=48000:d=20' ";
            maps += "-map " + std::to_string(i + 1) + ":a ";
        }
        make_media(p,
                   args + maps +
                       "-c:v mpeg2video -pix_fmt yuv422p -b:v 50M -minrate 50M -maxrate 50M -bufsize 17825792 "
                       "-g 12 -bf 2 -c:a pcm_s24le -f mxf");
        return p;
    }();
    return path;
}

// The bytes of the audio packets: what the work needs to read once.
int64_t audio_bytes(const std::string& path)
{
    const std::vector<int> audio = audio_streams(path);
    int64_t bytes = 0;
    for (const packet_place& p : probe_packets(path))
        if (std::find(audio.begin(), audio.end(), p.stream) != audio.end())
            bytes += p.size;
    return bytes;
}

}  // namespace

TEST(Deliverable, MeasuringReadsTheAudioAndLittleElse)
{
    const std::string src = deliverable();
    const int64_t audio = audio_bytes(src);
    const int64_t file = static_cast<int64_t>(std::filesystem::file_size(src));
    ASSERT_LT(audio, file / 5);  // the video is most of it

    const io_bytes trim = count_io({lumetrim, src});
    if (!trim.counted)
        GTEST_SKIP() << "strace cannot trace here, so the bytes cannot be counted";
    EXPECT_EQ(trim.status, 0);
    EXPECT_LE(trim.read, audio * 3 / 2 + 8 * mib) << "audio " << audio << ", file " << file;
    EXPECT_LT(trim.written, 64 * 1024);  // the report on the standard error stream

    const io_bytes ffmpeg =
        count_io({"ffmpeg", "-nostdin", "-v", "error", "-i", src, "-map", "0:a", "-c", "copy", "-f", "null", "-"});
    const io_bytes scope = count_io({lumescope, src});
    EXPECT_EQ(scope.status, 0);
    EXPECT_LE(scope.read, ffmpeg.read * 5 / 4) << "ffmpeg read " << ffmpeg.read;
    std::cout << "audio " << audio << " of " << file << " bytes; read by lumetrim " << trim.read << ", lumescope "
              << scope.read << ", ffmpeg -map 0:a " << ffmpeg.read << "\n";
}

TEST(Deliverable, NormalisingMovesTheAudioTwiceAndLittleElse)
{
    const std::string src = deliverable();
    const int64_t audio = audio_bytes(src);
    const std::string dst = scratch_dir() + "/deliverable_out.mxf";
    const io_bytes trim = count_io({lumetrim, src, "auto", dst});
    if (!trim.counted)
        GTEST_SKIP() << "strace cannot trace here, so the bytes cannot be counted";
    ASSERT_EQ(trim.status, 0);
    EXPECT_LE(trim.read + trim.written, 3 * audio + 16 * mib)
        << "read " << trim.read << ", written " << trim.written << ", audio " << audio;
    EXPECT_GT(expect_only_samples_changed(src, dst), 1000u);
    std::cout << "audio " << audio << " bytes; lumetrim auto read " << trim.read << " and wrote " << trim.written
              << "\n";
}

namespace {

// An XFS file system with shared blocks (reflink) on a loop device, mounted
// for the life of the record; `why` says what failed when it could not be.
struct xfs_mount {
    std::string image, dir, why;
    bool mounted = false;
    xfs_mount()
    {
        image = scratch_dir() + "/xfs.img";
        dir = scratch_dir() + "/xfs";
        std::filesystem::create_directory(dir);
        if (geteuid() != 0) {
            why = "mounting needs root";
            return;
        }
        const run_result mk = run("truncate -s 2G " + sh(image) + " && mkfs.xfs -q -m reflink=1 " + sh(image));
        if (mk.status != 0) {
            why = "mkfs.xfs failed: " + mk.err;
            return;
        }
        const run_result m = run("mount -o loop " + sh(image) + " " + sh(dir));
        if (m.status != 0) {
            why = "mount -o loop failed: " + m.err;
            return;
        }
        mounted = true;
    }
    ~xfs_mount()
    {
        if (mounted)
            run("umount " + sh(dir));
        std::filesystem::remove(image);
    }
    int64_t free_bytes() const
    {
        sync();
        struct statvfs st;
        return statvfs(dir.c_str(), &st) == 0 ? static_cast<int64_t>(st.f_bavail) * st.f_frsize : -1;
    }
};

}  // namespace

TEST(Deliverable, OnXfsWithReflinkTheDestinationTakesNewSpaceForTheAudioAlone)
{
    const std::string src = deliverable();
    const int64_t audio = audio_bytes(src);
    xfs_mount xfs;
    if (!xfs.mounted)
        GTEST_SKIP() << "no XFS image with reflink can be mounted here (" << xfs.why << ")";
    const std::string inside = xfs.dir + "/deliverable.mxf", dst = xfs.dir + "/deliverable_out.mxf";
    std::filesystem::copy_file(src, inside);
    const int64_t before = xfs.free_bytes();
    const run_result r = run_program({lumetrim, inside, "auto", dst}, 120);
    ASSERT_EQ(r.status, 0) << r.err;
    const int64_t taken = before - xfs.free_bytes();
    EXPECT_LE(taken, audio * 3 / 2 + 16 * mib) << "audio " << audio;
    EXPECT_GT(expect_only_samples_changed(inside, dst), 1000u);
    // The same bytes as a destination written where nothing is shared.
    const std::string plain = scratch_dir() + "/deliverable_plain.mxf";
    ASSERT_EQ(run_program({lumetrim, src, "auto", plain}, 120).status, 0);
    EXPECT_TRUE(read_file(plain) == read_file(dst));
    std::cout << "audio " << audio << " bytes; new space on XFS " << taken << " bytes\n";
}
