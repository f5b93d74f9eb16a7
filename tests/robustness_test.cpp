// Both programs on damaged, odd and hostile inputs, and lumetrim with
// destinations that fail: a diagnostic and a non-zero status, or a correct
// report, never a crash, a hang, a partial destination or a changed source.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support.h"

namespace {

const std::string lumetrim = LUMETRIM_PATH;
const std::string lumescope = LUMESCOPE_PATH;

// Runs with a time limit of two minutes.
run_result limited(const std::vector<std::string>& argv)
{
    return run_program(argv, 120);
}

const std::string& valid_mxf()
{
    static const std::string path = [] {
        const std::string p = scratch_dir() + "/valid.mxf";
        make_media(p,
                   "-f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i "
                   "'aevalsrc=0.3*sin(2*PI*440*t)|0.2*sin(2*PI*550*t):s=48000:d=3' "
                   "-map 0:v -map 1:a -t 3 -c:v mpeg2video -b:v 200k -c:a pcm_s24le -f mxf");
        return p;
    }();
    return path;
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    if (!bytes.empty())
        std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

std::string checksum(const std::string& path)
{
    return run("md5sum < " + sh(path)).out;
}

// A program ended on its own: not killed by a signal, not hung, not stopped
// by a sanitizer. lumetrim's statuses
// are the low bits of negative results, so any other status can be a clean one.
void expect_clean_end(const run_result& r, const std::string& what)
{
    EXPECT_NE(r.status, -1) << what << " was killed\n" << r.err;
    EXPECT_NE(r.status, -2) << what << " hung";
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << what << "\n" << r.err;
    EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << what << "\n" << r.err;
}

// lumetrim normalising a damaged source: a clean end, and a complete
// destination after success, none after a failure.
void expect_lumetrim_sound(const std::string& src, const std::string& what)
{
    const std::string dst = scratch_dir() + "/damaged_out.mxf";
    std::filesystem::remove(dst);
    const run_result r = limited({lumetrim, src, "auto", dst});
    expect_clean_end(r, what);
    if (r.status == 0) {
        if (std::filesystem::exists(dst)) {
            EXPECT_EQ(std::filesystem::file_size(dst), std::filesystem::file_size(src)) << what;
        }
    } else {
        EXPECT_FALSE(std::filesystem::exists(dst)) << what;
        EXPECT_NE(r.err.find("inplace_norm_create("), std::string::npos) << what;
    }
}

}  // namespace

TEST(DamagedInput, TruncatedMxfAtEveryKindOfPlace)
{
    const std::vector<uint8_t> whole = read_file(valid_mxf());
    const std::vector<packet_place> packets = probe_packets(valid_mxf());
    ASSERT_GT(packets.size(), 10u);
    const packet_place& audio = packets[1].stream == 1 ? packets[1] : packets[2];
    const packet_place& last = packets.back();
    // Inside the header, inside a packet's key, its length, its payload, after the last packet.
    const std::pair<const char*, int64_t> cuts[] = {
        {"header", 200},
        {"key", audio.pos + 5},
        {"length", audio.pos + 17},
        {"payload", audio.pos + 20 + audio.size / 2},
        {"last payload", last.pos + last.size / 2},
        {"after the last packet", last.pos + last.size + 30},
    };
    for (const auto& [what, cut] : cuts) {
        ASSERT_LT(cut, static_cast<int64_t>(whole.size()));
        const std::string path = scratch_dir() + "/cut.mxf";
        write_file(path, std::vector<uint8_t>(whole.begin(), whole.begin() + cut));
        const std::string before = checksum(path);
        expect_lumetrim_sound(path, std::string("cut in ") + what);
        EXPECT_EQ(checksum(path), before) << what;
        const run_result r = limited({lumescope, "-j", path});
        expect_clean_end(r, std::string("lumescope, cut in ") + what);
        EXPECT_TRUE(r.status == 0 || r.status == 1) << what;
        if (r.status == 1) {
            EXPECT_FALSE(r.err.empty()) << what;
        }
    }
}

TEST(DamagedInput, AFileCutInsideItsLastSoundElementIsRescaledOnlyInItsSamples)
{
    // The transfer ends half-way into the last sound element, whose samples
    // are a constant that repeats the last bytes of the element's own length
    // (83 00 0f 00 before 0f 00 0f 00 ...): located a sample early, the
    // rewrite would change the length. The cut element is found right after
    // its length, and only samples change.
    for (const char* rate : {"25", "30000/1001", "50"})
        for (const int width : {2, 3})
            for (const int channels : {1, 2}) {
                const std::string what = std::string(rate) + " fps, " + std::to_string(8 * width) + "-bit, " +
                    std::to_string(channels) + " channel(s)";
                const std::string path = scratch_dir() + "/tail.mxf";
                auto make = [&](const std::string& tail) {
                    make_media(path,
                               "-f lavfi -i testsrc=size=64x48:rate=" + std::string(rate) + " -f lavfi -i " +
                                   sh("aevalsrc=if(lt(t\\,1)\\,0.5*sin(2*PI*440*t)\\," + tail + "):s=48000:d=2") +
                                   " -map 0:v -map 1:a -t 2 -ac " + std::to_string(channels) +
                                   " -c:v mpeg2video -b:v 100k -c:a " + (width == 2 ? "pcm_s16le" : "pcm_s24le") +
                                   " -f mxf");
                };
                make("0");
                std::vector<packet_place> packets = probe_packets(path);
                const packet_place last = [&] {
                    packet_place l;
                    for (const packet_place& p : packets)
                        if (p.stream == 1)
                            l = p;
                    return l;
                }();
                // The value whose little-endian bytes are the length's last ones.
                std::vector<uint8_t> bytes = read_file(path);
                ASSERT_EQ(bytes[static_cast<size_t>(last.pos) + 16], 0x83) << what;
                int64_t value = 0;
                for (int i = 0; i < width; ++i)
                    value |= int64_t{bytes[static_cast<size_t>(last.pos) + 20 - width + i]} << (8 * i);
                if (value >= int64_t{1} << (8 * width - 1))
                    value -= int64_t{1} << (8 * width);
                make(std::to_string(value) + "/" + std::to_string(int64_t{1} << (8 * width - 1)));
                bytes = read_file(path);
                packets = probe_packets(path);
                ASSERT_EQ(packets.back().pos, last.pos) << what;  // the same layout with the new samples
                const size_t cut = static_cast<size_t>(last.pos + 20 + last.size / 2 + 1);
                ASSERT_LT(cut, bytes.size()) << what;
                const std::string src = scratch_dir() + "/tail_cut.mxf";
                write_file(src, std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(cut)));
                const std::string dst = scratch_dir() + "/tail_out.mxf";
                const run_result r = limited({lumetrim, src, "auto", dst});
                ASSERT_EQ(r.status, 0) << what << "\n" << r.err;
                const std::vector<uint8_t> out = read_file(dst);
                ASSERT_EQ(out.size(), cut) << what;
                EXPECT_TRUE(std::equal(out.begin() + last.pos, out.begin() + last.pos + 20, bytes.begin() + last.pos))
                    << what << ": the last element's key or length changed";
                EXPECT_FALSE(std::equal(out.begin() + last.pos + 20, out.end(), bytes.begin() + last.pos + 20))
                    << what << ": the cut element was not rescaled";
                EXPECT_GT(expect_only_samples_changed(src, dst), 1000u) << what;
            }
}

TEST(DamagedInput, ADamagedLengthOfASoundElementIsNeverTakenForTheElement)
{
    // A length that says more makes the demuxer hand out one packet running
    // over the video, the index and the footer; one that says less leaves the
    // element's last samples behind it. Either way the packet is not that
    // element's sound, and nothing may be rescaled.
    const std::string ffmpeg_file = scratch_dir() + "/lengths.mxf";
    make_media(ffmpeg_file,
               "-f lavfi -i testsrc=size=64x48:rate=25 -f lavfi -i "
               "'aevalsrc=0.3*sin(2*PI*1000*t):s=48000:d=3' "
               "-map 0:v -map 1:a -t 3 -c:v mpeg2video -c:a pcm_s24le -f mxf");
    const std::string gst_file = scratch_dir() + "/lengths_gst.mxf";
    make_gst_mxf(gst_file,
                 "audiotestsrc num-buffers=10 samplesperbuffer=4800 ! "
                 "audio/x-raw,format=S24LE,rate=48000,channels=1 ! mux.bwf_audio_sink_0");
    // One clip-wrapped element holding the whole track: the demuxer reads it
    // in pieces, and a longer length makes its last piece run on over the
    // fill item and the footer that follow the sound.
    const std::string clip_file = scratch_dir() + "/lengths_clip.mxf";
    make_media(clip_file, "-f lavfi -i 'anoisesrc=r=48000:a=0.2:c=pink:d=4' -c:a pcm_s24le -f mxf_opatom");
    // The position of the first or last packet of the file's first audio stream.
    const auto audio_at = [](const std::string& path, bool last) {
        const int stream = audio_streams(path).front();
        int64_t pos = -1;
        for (const packet_place& p : probe_packets(path))
            if (p.stream == stream && (pos < 0 || last))
                pos = p.pos;
        return pos;
    };
    struct damage {
        const char* what;
        std::string file;
        int64_t at;     // the element's key
        int64_t delta;  // added to its length; 0: the largest its length's form holds
        bool drop_index_pack;
        const char* says = "Failed to fingerpint packet data!\n";
    };
    // The size of the whole KLV element after the one whose key is at `at`.
    const auto next_element_size = [](const std::string& path, int64_t at) {
        const std::vector<uint8_t> bytes = read_file(path);
        const auto ber_end = [&](size_t ber, uint64_t* length) {
            const size_t n = bytes[ber] & 0x7f;
            *length = 0;
            for (size_t i = 0; i < n; ++i)
                *length = *length << 8 | bytes[ber + 1 + i];
            return ber + 1 + n;
        };
        uint64_t length = 0;
        const size_t next = ber_end(static_cast<size_t>(at) + 16, &length) + length;
        const size_t value = ber_end(next + 16, &length);
        return static_cast<int64_t>(value - next + length);
    };
    const int64_t ff_first = audio_at(ffmpeg_file, false), ff_last = audio_at(ffmpeg_file, true);
    const int64_t gst_first = audio_at(gst_file, false), gst_last = audio_at(gst_file, true);
    // The clip's key: the last one before its first piece.
    int64_t clip_key = -1;
    {
        const std::vector<uint8_t> bytes = read_file(clip_file);
        const uint8_t ul[4] = {0x06, 0x0e, 0x2b, 0x34};
        const int64_t first_piece = audio_at(clip_file, false);
        for (int64_t i = 0; i + 4 <= first_piece; ++i)
            if (std::memcmp(bytes.data() + i, ul, 4) == 0)
                clip_key = i;
    }
    const std::vector<damage> damages = {
        {"the largest length at the first element", ffmpeg_file, ff_first, 0, false},
        {"3 bytes more", ffmpeg_file, ff_first, 3, false},
        {"141 bytes less", ffmpeg_file, ff_last, -141, false},
        {"the largest length at the last element before the footer", gst_file, gst_last, 0, false},
        {"the largest length, and the random index pack cut off", gst_file, gst_first, 0, true},
        {"256 bytes more on a clip-wrapped element", clip_file, clip_key, 256, false},
        {"5000 bytes less on a clip-wrapped element", clip_file, clip_key, -5000, false,
         "ends where no KLV key follows (a damaged length)\n"},
        {"longer by the fill item after it", ffmpeg_file, ff_first, next_element_size(ffmpeg_file, ff_first), false},
    };
    for (const damage& d : damages) {
        ASSERT_GE(d.at, 0) << d.what;
        std::vector<uint8_t> bytes = read_file(d.file);
        if (d.drop_index_pack)
            bytes.resize(bytes.size() - 57);
        // The element's BER length after its 16-byte key, kept in its form.
        const size_t ber = static_cast<size_t>(d.at) + 16;
        ASSERT_GE(bytes[ber], 0x81) << d.what;
        const size_t n = bytes[ber] & 0x7f;
        uint64_t length = 0;
        for (size_t i = 0; i < n; ++i)
            length = length << 8 | bytes[ber + 1 + i];
        length = d.delta == 0 ? (uint64_t{1} << (8 * n)) - 1 : length + static_cast<uint64_t>(d.delta);
        for (size_t i = 0; i < n; ++i)
            bytes[ber + n - i] = static_cast<uint8_t>(length >> (8 * i));
        const std::string src = scratch_dir() + "/damaged_length.mxf";
        write_file(src, bytes);
        const std::string dst = scratch_dir() + "/damaged_length_out.mxf";
        std::filesystem::remove(dst);
        const run_result r = limited({lumetrim, src, "auto", dst});
        EXPECT_EQ(r.status, 234) << d.what << "\n" << r.err;
        EXPECT_NE(r.err.find(d.says), std::string::npos) << d.what << "\n" << r.err;
        EXPECT_FALSE(std::filesystem::exists(dst)) << d.what;
        EXPECT_EQ(read_file(src), bytes) << d.what;
    }
}

TEST(DamagedInput, SoundWhoseSamplesLookLikeKeysIsNormalised)
{
    // 24-bit mono whose every 5760 bytes (a frame at 25 fps) hold what looks
    // like a KLV key with a length that ends on another key-like run, and one
    // with a length past the end of the file. Neither is an element of the
    // file: frame-wrapped and clip-wrapped, the sound is normalised.
    std::vector<uint8_t> raw(48000 * 3 * 3);
    for (size_t i = 0; i < raw.size() / 3; ++i) {
        const int32_t v = static_cast<int32_t>(2000000 * std::sin(2 * M_PI * 300 * static_cast<double>(i) / 48000));
        for (int b = 0; b < 3; ++b)
            raw[3 * i + static_cast<size_t>(b)] = static_cast<uint8_t>(v >> (8 * b));
    }
    const uint8_t looks_like_key[] = {0x06, 0x0e, 0x2b, 0x34, 0x01, 0x01, 0x01, 0x02,
                                      0x0d, 0x01, 0x03, 0x01, 0x16, 0x01, 0x01, 0x00};
    for (size_t frame = 0; frame + 5760 <= raw.size(); frame += 5760) {
        std::copy(std::begin(looks_like_key), std::end(looks_like_key), raw.begin() + frame + 100);
        raw[frame + 116] = 0x10;  // ends 16 bytes on, where the next one starts
        std::copy(std::begin(looks_like_key), std::end(looks_like_key), raw.begin() + frame + 133);
        const uint8_t past_the_end[] = {0x83, 0x7f, 0xff, 0xff};
        std::copy(std::begin(past_the_end), std::end(past_the_end), raw.begin() + frame + 149);
    }
    const std::string pcm = scratch_dir() + "/key_like.s24le";
    write_file(pcm, raw);
    const std::string input = "-f s24le -ar 48000 -ac 1 -i " + sh(pcm) + " -c:a pcm_s24le ";
    const std::string framed = scratch_dir() + "/key_like.mxf", clip = scratch_dir() + "/key_like_clip.mxf";
    make_media(framed,
               "-f lavfi -i testsrc=size=64x48:rate=25 " + input + "-map 0:v -map 1:a -t 3 -c:v mpeg2video -f mxf");
    make_media(clip, input + "-f mxf_opatom");
    const std::string dst = scratch_dir() + "/key_like_out.mxf";
    run_result r = limited({lumetrim, framed, "-30", dst});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_GT(expect_only_samples_changed(framed, dst), 1000u);
    // Clip-wrapped, FFmpeg's packets are pieces of one element, at the
    // places of their samples: those places and nothing else may change.
    r = limited({lumetrim, clip, "-30", dst});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<packet_place> pieces = probe_packets(clip);
    const std::vector<packet_place> written = probe_packets(dst);
    ASSERT_EQ(written.size(), pieces.size());
    for (size_t k = 0; k < pieces.size(); ++k)
        EXPECT_TRUE(written[k].stream == pieces[k].stream && written[k].pos == pieces[k].pos &&
                    written[k].size == pieces[k].size)
            << "packet " << k;
    const std::vector<uint8_t> a = read_file(clip), b = read_file(dst);
    ASSERT_EQ(a.size(), b.size());
    std::vector<bool> samples(a.size(), false);
    for (const packet_place& p : pieces)
        for (int64_t i = p.pos; i < p.pos + p.size; ++i)
            samples[static_cast<size_t>(i)] = true;
    size_t changed = 0;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i]) {
            ASSERT_TRUE(samples[i]) << "byte " << i << " outside the samples changed";
            ++changed;
        }
    EXPECT_GT(changed, 1000u);
}

TEST(DamagedInput, ACutFileStillTellsSkippedSoundFromTheCut)
{
    // Without its random index pack a file counts as cut short, and audio
    // missing at its end as the cut's. Audio the demuxer skipped before the
    // end is told apart by the samples FFmpeg numbers: refused, not copied.
    const std::vector<uint8_t> whole = read_file(valid_mxf());
    std::vector<packet_place> audio;
    for (const packet_place& p : probe_packets(valid_mxf()))
        if (p.stream == 1)
            audio.push_back(p);
    ASSERT_GT(audio.size(), 3u);
    const std::string src = scratch_dir() + "/skip_in_cut.mxf", dst = scratch_dir() + "/skip_in_cut_out.mxf";
    std::vector<uint8_t> bytes(whole.begin(), whole.end() - 100);
    bytes[static_cast<size_t>(audio[1].pos) + 5] ^= 0x40;  // the second element's key
    write_file(src, bytes);
    std::filesystem::remove(dst);
    run_result r = limited({lumetrim, src, "auto", dst});
    EXPECT_EQ(r.status, 234) << r.err;
    EXPECT_NE(r.err.find("Failed to read " + src +
                         ": stream #1 skips 0.040 s of audio at 0.040 s (damaged data "
                         "was skipped)\n"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(std::filesystem::exists(dst));

    // A cut one to three bytes into the key after a sound element is a cut
    // like any other: that element is whole.
    const packet_place& mid = audio[audio.size() / 2];
    for (int64_t k = 1; k <= 3; ++k) {
        const int64_t end = mid.pos + 20 + mid.size + k;
        write_file(src, std::vector<uint8_t>(whole.begin(), whole.begin() + end));
        r = limited({lumetrim, src, "auto", dst});
        ASSERT_EQ(r.status, 0) << k << "\n" << r.err;
        EXPECT_GT(expect_only_samples_changed(src, dst), 1000u) << k;
    }
}

TEST(DamagedInput, SampleRatesTooLowForTheLoudnessFilterAreNotMeasured)
{
    // Below 3364 Hz the K-weighting's 1682 Hz shelf lies above the Nyquist
    // frequency: the loudness would read +inf or -inf for a plain tone, and
    // lumetrim would silence the track with a gain of 0.
    const std::string low = scratch_dir() + "/low_rate.mxf";
    make_gst_mxf(low,
                 "audiotestsrc num-buffers=20 samplesperbuffer=400 freq=100 volume=0.2 ! "
                 "audio/x-raw,format=S16LE,rate=2000,channels=1 ! mux.bwf_audio_sink_0");
    const std::string dst = scratch_dir() + "/low_rate_out.mxf";
    const run_result r = limited({lumetrim, low, "auto", dst});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("Skipping stream #0: cannot measure 1 channels at 2000 Hz\n"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(dst), read_file(low));
    for (const int rate : {3000, 3400}) {
        const std::string wav = scratch_dir() + "/low_rate.wav";
        make_media(wav, "-f lavfi -i sine=f=100:d=3:r=" + std::to_string(rate) + " -c:a pcm_s16le");
        const run_result s = limited({lumescope, wav});
        if (rate < 3364) {
            EXPECT_EQ(s.status, 1);
            EXPECT_NE(s.err.find("cannot measure 1 channels at 3000 Hz"), std::string::npos) << s.err;
        } else {
            EXPECT_EQ(s.status, 0) << s.err;
            EXPECT_TRUE(std::regex_search(s.out, std::regex("loudness  -2[0-9]\\.[0-9]+ LUFS"))) << s.out;
        }
    }
}

TEST(DamagedInput, GStreamerFilesOfAnyBufferSizeAreWhole)
{
    // GStreamer declares an audio-only file's durations in edit units of
    // 100 ms, rounded up: a last element shorter than that is no damage.
    for (const char* rate : {"48000", "44100"})
        for (const char* samples : {"1024", "333", "7"}) {
            const std::string src = scratch_dir() + "/gst_buffers.mxf";
            // Two seconds and a bit: a loudness to reach, and a short last element.
            const int buffers = 2 * std::stoi(rate) / std::stoi(samples) + 1;
            make_gst_mxf(src,
                         std::string("audiotestsrc num-buffers=") + std::to_string(buffers) +
                             " samplesperbuffer=" + samples + " ! audio/x-raw,format=S24LE,rate=" + rate +
                             ",channels=2 ! mux.bwf_audio_sink_0");
            const std::string dst = scratch_dir() + "/gst_buffers_out.mxf";
            const run_result r = limited({lumetrim, src, "auto", dst});
            EXPECT_EQ(r.status, 0) << rate << " " << samples << "\n" << r.err;
            EXPECT_GT(expect_only_samples_changed(src, dst), 0u) << rate << " " << samples;
        }
}

TEST(DamagedInput, SoundElementsTheDemuxerSkipsFailTheRunAndWriteNothing)
{
    // A video element's length damaged to 1 MiB: the demuxer jumps over the
    // sound elements in that MiB. Left as they were, they would keep their old
    // level in a destination reported as done.
    const std::string path = scratch_dir() + "/skip.mxf";
    make_media(path,
               "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i "
               "'aevalsrc=0.5*sin(2*PI*440*t):s=48000:d=4' "
               "-map 0:v -map 1:a -t 4 -c:v mpeg2video -b:v 2M -c:a pcm_s16le -f mxf");
    std::vector<uint8_t> bytes = read_file(path);
    const std::vector<packet_place> packets = probe_packets(path);
    const packet_place& video = packets[40].stream == 0 ? packets[40] : packets[41];
    ASSERT_EQ(bytes[static_cast<size_t>(video.pos) + 16], 0x83);
    const uint8_t damaged[4] = {0x83, 0x10, 0x00, 0x00};
    std::copy(damaged, damaged + 4, bytes.begin() + video.pos + 16);
    write_file(path, bytes);
    const std::string before = checksum(path);
    const std::string dst = scratch_dir() + "/skip_out.mxf";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{lumetrim, path}, std::vector<std::string>{lumetrim, path, "auto", dst}}) {
        const run_result r = limited(args);
        EXPECT_EQ(r.status, 234) << r.err;
        const std::regex line("Failed to read [^\n]*: stream #1 lacks ([0-9.]+) s of the 4\\.000 s of audio the "
                              "file declares \\(damaged data was skipped\\)\n");
        std::smatch m;
        ASSERT_TRUE(std::regex_search(r.err, m, line)) << r.err;
        EXPECT_GT(std::stod(m[1]), 1.0);
        EXPECT_EQ(r.err.find("inplace_norm_measure_print"), std::string::npos) << r.err;
        EXPECT_FALSE(std::filesystem::exists(dst));
    }
    EXPECT_EQ(checksum(path), before);

    // The same file cut short before its footer (at a packet's start, so no
    // element is cut): what is there is all there is, and it is normalised.
    const std::vector<uint8_t> whole = read_file(path);
    std::vector<uint8_t> cut = bytes;
    cut.resize(static_cast<size_t>(packets[20].pos));
    const std::string short_src = scratch_dir() + "/short.mxf";
    write_file(short_src, cut);
    const run_result r = limited({lumetrim, short_src, "auto", dst});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("Stream #1 ends "), std::string::npos) << r.err;
    EXPECT_GT(expect_only_samples_changed(short_src, dst), 1000u);
}

TEST(DamagedInput, RandomByteCorruption)
{
    const std::vector<uint8_t> whole = read_file(valid_mxf());
    std::mt19937 rng(2026);
    for (int round = 0; round < 12; ++round) {
        std::vector<uint8_t> bytes = whole;
        const int flips = round < 6 ? 8 : 400;
        for (int i = 0; i < flips; ++i)
            bytes[rng() % bytes.size()] = static_cast<uint8_t>(rng());
        const std::string path = scratch_dir() + "/corrupt.mxf";
        write_file(path, bytes);
        expect_lumetrim_sound(path, "corruption round " + std::to_string(round));
        const run_result r = limited({lumescope, path});
        expect_clean_end(r, "lumescope, corruption round " + std::to_string(round));
    }
}

TEST(DamagedInput, EmptyFileDirectoryAndUnreadableSource)
{
    const std::string empty = scratch_dir() + "/empty.mxf";
    write_file(empty, {});
    run_result r = limited({lumetrim, empty});
    expect_clean_end(r, "empty");
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("inplace_norm_create(" + empty + ")=-"), std::string::npos) << r.err;
    r = limited({lumescope, empty});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(r.err.empty());

    const std::string dir = scratch_dir() + "/a_folder";
    std::filesystem::create_directories(dir);
    r = limited({lumetrim, dir, "auto", scratch_dir() + "/x.mxf"});
    EXPECT_EQ(r.status, 235);  // -EISDIR
    EXPECT_EQ(r.err, "Failed to open " + dir + ": Is a directory\ninplace_norm_create(" + dir + ")=-21\n");
    r = limited({lumescope, dir});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(r.err.empty());

    // Permissions do not stop root: drop to an unprivileged user when root.
    const std::string secret = scratch_dir() + "/secret.mxf";
    std::filesystem::copy_file(valid_mxf(), secret, std::filesystem::copy_options::overwrite_existing);
    chmod(secret.c_str(), 0);
    chmod(scratch_dir().c_str(), 0755);
    const std::string as_user = getuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    r = run(as_user + sh(lumetrim) + " " + sh(secret));
    EXPECT_EQ(r.status, 243) << r.err;  // -EACCES
    r = run(as_user + sh(lumescope) + " " + sh(secret));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Failed to open file: " + secret + "\n");
}

TEST(DamagedInput, FifoIsRefusedByLumetrimAndReadByLumescope)
{
    const std::string fifo = scratch_dir() + "/pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    run_result r = limited({lumetrim, fifo});
    EXPECT_EQ(r.status, 227);  // -ESPIPE, at once and without waiting for a writer
    EXPECT_EQ(r.err, "Failed to open " + fifo + ": Illegal seek\ninplace_norm_create(" + fifo + ")=-29\n");

    const std::string wav = scratch_dir() + "/fifo_source.wav";
    make_media(wav, "-f lavfi -i 'aevalsrc=0.25*sin(2*PI*1000*t):s=48000:d=3' -c:a pcm_s16le");
    r = run("(cat " + sh(wav) + " > " + sh(fifo) + " &) ; timeout 60 " + sh(lumescope) + " " + sh(fifo));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, run(sh(lumescope) + " " + sh(wav)).out.replace(10, wav.size(), fifo));

    // A programme whose tracks lie too far apart to be lined up in one pass is
    // read again from a new opening of the input: a FIFO cannot give it, and
    // must not be waited for.
    const std::string apart = scratch_dir() + "/fifo_apart.mkv";
    make_media(apart,
               "-f lavfi -i sine=f=300:d=100:r=48000 -f lavfi -i sine=f=700:d=2:r=48000 -filter_complex "
               "'[0:a]aformat=channel_layouts=stereo[s]' -map '[s]' -map 1 -c:a pcm_s16le");
    r = run("(cat " + sh(apart) + " > " + sh(fifo) + " &) ; timeout 60 " + sh(lumescope) + " -p 0-1 " + sh(fifo));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("Failed to read " + fifo + " again for programme 0-1\n"), std::string::npos) << r.err;
    EXPECT_EQ(run(sh(lumescope) + " -p 0-1 " + sh(apart)).status, 0);
}

TEST(DestinationFaults, EveryFailureLeavesNoFileAndAnUnchangedSource)
{
    const std::string src = valid_mxf();
    const std::string source_sum = checksum(src);
    const std::string existing = scratch_dir() + "/existing.mxf";
    write_file(existing, {'o', 'l', 'd'});
    const std::string existing_sum = checksum(existing);

    // A full device.
    run_result r = run(sh(lumetrim) + " " + sh(src) + " auto /dev/full");
    EXPECT_EQ(r.status, 228);  // -ENOSPC
    EXPECT_NE(r.err.find("Failed to write /dev/full: No space left on device\n"), std::string::npos) << r.err;

    // The file size limit, replacing an existing file.
    r = run("ulimit -f 64; " + sh(lumetrim) + " " + sh(src) + " auto " + sh(existing));
    EXPECT_EQ(r.status, 229);  // -EFBIG
    EXPECT_NE(r.err.find("Failed to write " + existing + ": File too large\n"), std::string::npos) << r.err;
    EXPECT_EQ(checksum(existing), existing_sum);

    // A destination that is a folder.
    const std::string folder = scratch_dir() + "/out_folder";
    std::filesystem::create_directories(folder);
    r = run(sh(lumetrim) + " " + sh(src) + " auto " + sh(folder));
    EXPECT_EQ(r.status, 235);  // -EISDIR
    EXPECT_NE(r.err.find("Failed to write " + folder + ": Is a directory\n"), std::string::npos) << r.err;

    // A read-only folder (as an unprivileged user when root).
    const std::string locked = scratch_dir() + "/locked";
    std::filesystem::create_directories(locked);
    const std::string kept = locked + "/kept.mxf";
    write_file(kept, {'k', 'e', 'p', 't'});
    chmod(kept.c_str(), 0666);
    chmod(locked.c_str(), 0555);
    chmod(scratch_dir().c_str(), 0755);
    chmod(src.c_str(), 0644);
    const std::string as_user = getuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    r = run(as_user + sh(lumetrim) + " " + sh(src) + " auto " + sh(kept));
    EXPECT_EQ(r.status, 243) << r.err;  // -EACCES
    EXPECT_NE(r.err.find("Failed to write " + kept + ": Permission denied\n"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(kept), (std::vector<uint8_t>{'k', 'e', 'p', 't'}));

    // No temporary file is left anywhere.
    for (const std::string& dir : {scratch_dir(), locked, folder})
        for (const auto& entry : std::filesystem::directory_iterator(dir))
            EXPECT_EQ(entry.path().filename().string().find(".mxf."), std::string::npos) << entry.path();
    EXPECT_EQ(checksum(src), source_sum);
}

TEST(DestinationFaults, AnotherFileSystemIsWrittenCorrectly)
{
    const std::string other = "/dev/shm";
    if (!std::filesystem::is_directory(other))
        GTEST_SKIP() << "no /dev/shm";
    const std::string dst = other + "/lumetrim_test_" + std::to_string(getpid()) + ".mxf";
    const std::string local = scratch_dir() + "/local.mxf";
    ASSERT_EQ(run(sh(lumetrim) + " " + sh(valid_mxf()) + " -20 " + sh(local)).status, 0);
    const run_result r = run(sh(lumetrim) + " " + sh(valid_mxf()) + " -20 " + sh(dst));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dst), read_file(local));
    std::filesystem::remove(dst);
}

TEST(ResourceLimits, NoThreadToBeHadGivesTheSameResults)
{
    // A process limit of one for an unprivileged user: no thread can start,
    // so the metering pool and the destination pass run in the calling thread.
    if (getuid() != 0)
        GTEST_SKIP() << "needs root to run as another user with a process limit";
    const std::string dir = scratch_dir() + "/one_process";
    std::filesystem::create_directories(dir);
    chmod(dir.c_str(), 0777);
    chmod(scratch_dir().c_str(), 0755);
    const std::string src = dir + "/src.mxf";
    std::filesystem::copy_file(valid_mxf(), src, std::filesystem::copy_options::overwrite_existing);
    chmod(src.c_str(), 0644);
    // LeakSanitizer, where built in, needs a thread of its own at exit.
    const std::string limited_user =
        "ASAN_OPTIONS=detect_leaks=0 prlimit --nproc=1:1 setpriv --reuid=65534 --regid=65534 --clear-groups ";
    const std::string free_dst = dir + "/free.mxf", limited_dst = dir + "/limited.mxf";
    const run_result free = run(sh(lumetrim) + " " + sh(src) + " -20 " + sh(free_dst));
    const run_result limited = run(limited_user + sh(lumetrim) + " " + sh(src) + " -20 " + sh(limited_dst));
    ASSERT_EQ(free.status, 0) << free.err;
    EXPECT_EQ(limited.status, 0) << limited.err;
    EXPECT_EQ(limited.err, free.err);
    EXPECT_EQ(read_file(limited_dst), read_file(free_dst));

    const run_result scope_free = run(sh(lumescope) + " -j " + sh(src));
    const run_result scope_limited = run(limited_user + sh(lumescope) + " -j " + sh(src));
    EXPECT_EQ(scope_limited.status, 0) << scope_limited.err;
    EXPECT_EQ(scope_limited.out, scope_free.out);
}
