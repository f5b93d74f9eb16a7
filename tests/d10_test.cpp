// D-10 (IMX) files, whose sound is stored as 8-channel AES3 elements that
// FFmpeg's demuxer converts to PCM: lumetrim measures them like plain PCM and
// rewrites only the sample bits of the elements. The elements are read back
// here by the test's own walk over the file, from the packet positions
// ffprobe reports (the start of each element's KLV key).
#include <cstdio>
#include <filesystem>
#include <map>

#include <gtest/gtest.h>

#include "inplace_norm.h"
#include "support.h"

namespace {

const std::string lumetrim = LUMETRIM_PATH;

run_result lumetrim_run(const std::string& args)
{
    return run(sh(lumetrim) + " " + args);
}

// Channels 0 and 1 carry the programme; the others quiet tones of their own,
// so that a channel mix-up shows while loudness stays the same whatever
// weights a meter gives the channels beyond the first two.
std::string tones(int channels)
{
    std::string expr = "0.3*sin(2*PI*440*t)|0.2*sin(2*PI*660*t)";
    for (int c = 2; c < channels; ++c)
        expr += "|0.01*sin(2*PI*" + std::to_string(200 + 100 * c) + "*t)";
    return "-f lavfi -i " + sh("aevalsrc=" + expr + ":s=48000") + " ";
}

std::string loud_tones(int channels)
{
    std::string expr;
    for (int c = 0; c < channels; ++c)
        expr += (c ? "|" : "") + std::string("0.9*sin(2*PI*") + std::to_string(300 + 50 * c) + "*t)";
    return "-f lavfi -i " + sh("aevalsrc=" + expr + ":s=48000") + " ";
}

// D-10 is MPEG-2 4:2:2 intra video at 30, 40 or 50 Mbit/s, every frame of
// exactly the size of that rate (the muxer refuses any other), and 48 kHz 16-
// or 24-bit audio. At 30000/1001 frames per second the encoder's frames at
// 50 Mbit/s come out a byte too long, so that rate is used at 30 Mbit/s.
const std::string d10_video = "-f lavfi -i testsrc=size=720x608:rate=25 ";
const std::string d10_video_codec = "-pix_fmt yuv422p -c:v mpeg2video -g 1 -b:v 50M -minrate 50M -maxrate 50M "
                                    "-bufsize 2000000 -rc_init_occupancy 2000000 ";

struct d10_case {
    int channels;
    int bits;
};

std::string codec_name(int bits)
{
    return bits == 24 ? "pcm_s24le" : "pcm_s16le";
}

// Each file is made once for the whole test binary. "d10" files are D-10;
// "plain" files hold the same audio as ordinary PCM in OP1a.
std::string media(const std::string& kind, d10_case c, bool loud = false)
{
    static std::map<std::string, std::string> made;
    const std::string name =
        kind + "_" + std::to_string(c.channels) + "ch" + std::to_string(c.bits) + (loud ? "_loud" : "") + ".mxf";
    if (auto it = made.find(name); it != made.end())
        return it->second;
    const std::string path = scratch_dir() + "/" + name;
    const std::string audio = (loud ? loud_tones(c.channels) : tones(c.channels)) + "-c:a " + codec_name(c.bits) + " ";
    if (kind == "d10")
        make_media(path, d10_video + audio + "-map 0:v -map 1:a -t 3 " + d10_video_codec + "-f mxf_d10");
    else if (kind == "d10_ntsc")
        make_media(path,
                   "-f lavfi -i testsrc=size=720x512:rate=30000/1001 " + audio +
                       "-map 0:v -map 1:a -t 2 -pix_fmt yuv422p -c:v mpeg2video -g 1 -b:v 30M -minrate 30M "
                       "-maxrate 30M -bufsize 1200000 -rc_init_occupancy 1200000 -f mxf_d10");
    else
        make_media(path,
                   "-f lavfi -i testsrc=size=160x120:rate=25 " + audio +
                       "-map 0:v -map 1:a -t 3 -c:v mpeg2video -b:v 200k -f mxf");
    made[name] = path;
    return path;
}

std::string dst_path(const std::string& name)
{
    return scratch_dir() + "/out_" + name;
}

uint32_t le32(const std::vector<uint8_t>& f, int64_t at)
{
    const auto* p = f.data() + at;
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void put_le32(std::vector<uint8_t>* f, int64_t at, uint32_t w)
{
    for (int i = 0; i < 4; ++i)
        (*f)[static_cast<size_t>(at + i)] = uint8_t(w >> (8 * i));
}

bool even_parity(uint32_t w)
{
    return __builtin_popcount(w & 0xFFFFFFF0u) % 2 == 0;
}

// The value of one sound element: offset of its first byte and its length.
struct element {
    int64_t pos = 0;
    int64_t size = 0;
};

// The sound elements of a file, in file order, from ffprobe's packet positions.
std::vector<element> sound_elements(const std::string& path, const std::vector<uint8_t>& f)
{
    std::vector<element> out;
    for (const packet_place& p : probe_packets(path)) {
        if (p.stream != 1)
            continue;
        const uint8_t* key = f.data() + p.pos;
        EXPECT_TRUE(key[0] == 0x06 && key[1] == 0x0e && key[2] == 0x2b && key[3] == 0x34) << p.pos;
        EXPECT_TRUE(key[12] == 0x06 && key[13] == 0x01 && key[14] == 0x10) << p.pos;
        int64_t at = p.pos + 16, length = f[static_cast<size_t>(at)];
        ++at;
        if (length & 0x80) {
            const int n = static_cast<int>(length & 0x7f);
            length = 0;
            for (int i = 0; i < n; ++i)
                length = length << 8 | f[static_cast<size_t>(at++)];
        }
        out.push_back({at, length});
    }
    return out;
}

enum class parity_rule { unchanged, valid };

// Compares source and destination: every byte outside the elements, every
// element header, every unused subframe and, in the track's subframes, every
// bit outside the sample bits must be equal; P follows the element's rule.
// Returns how many sample subframes changed.
int64_t expect_only_sample_bits_changed(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b,
                                        const std::vector<element>& elements, int channels, int bits,
                                        const std::vector<parity_rule>& rules)
{
    EXPECT_EQ(a.size(), b.size());
    if (a.size() != b.size())
        return 0;
    const uint32_t sample_bits = bits == 24 ? 0x0FFFFFF0u : 0x0FFFF000u;
    const uint32_t kept_bits = ~sample_bits & 0x7FFFFFFFu;
    int64_t changed = 0, faults = 0, first_fault = -1;
    auto fault = [&](int64_t at) {
        if (faults++ == 0)
            first_fault = at;
    };
    int64_t at = 0;
    for (size_t e = 0; e < elements.size(); ++e) {
        const element& el = elements[e];
        const int64_t samples_start = el.pos + 4;
        for (; at < samples_start; ++at)
            if (a[static_cast<size_t>(at)] != b[static_cast<size_t>(at)])
                fault(at);
        for (int64_t s = samples_start; s < el.pos + el.size; s += 32)
            for (int k = 0; k < 8; ++k) {
                const uint32_t wa = le32(a, s + 4 * k), wb = le32(b, s + 4 * k);
                if (k >= channels) {
                    if (wa != wb)
                        fault(s + 4 * k);
                    continue;
                }
                changed += (wa & sample_bits) != (wb & sample_bits);
                if ((wa & kept_bits) != (wb & kept_bits))
                    fault(s + 4 * k);
                if (rules[e] == parity_rule::unchanged ? (wa >> 31) != (wb >> 31) : !even_parity(wb))
                    fault(s + 4 * k);
            }
        at = el.pos + el.size;
    }
    for (; at < static_cast<int64_t>(a.size()); ++at)
        if (a[static_cast<size_t>(at)] != b[static_cast<size_t>(at)])
            fault(at);
    EXPECT_EQ(faults, 0) << "first at byte " << first_fault;
    return changed;
}

// The audio of stream 1 as FFmpeg demuxes it, raw.
std::vector<uint8_t> demuxed_audio(const std::string& path, int bits)
{
    const std::string raw = path + "." + std::to_string(bits) + ".raw";
    const run_result r = run("ffmpeg -nostdin -v error -y -i " + sh(path) + " -map 0:a -c:a copy -f s" +
                             std::to_string(bits) + "le " + sh(raw));
    EXPECT_EQ(r.status, 0) << r.err;
    return read_file(raw);
}

// The report from its "inplace_norm_measure_print" line on.
std::string report_of(const run_result& r)
{
    const size_t at = r.err.find("inplace_norm_measure_print\n");
    EXPECT_NE(at, std::string::npos) << r.err;
    return at == std::string::npos ? "" : r.err.substr(at);
}

double report_value(const std::string& err, const std::string& key)
{
    const size_t k = err.find(key);
    EXPECT_NE(k, std::string::npos) << key << "\n" << err;
    return k == std::string::npos ? 0 : std::strtod(err.c_str() + k + key.size(), nullptr);
}

// The destination demuxes to the source's packets, in the same places, and
// its video packets are the source's.
void expect_same_packet_places(const std::string& src, const std::string& dst)
{
    const std::vector<packet_place> before = probe_packets(src), after = probe_packets(dst);
    ASSERT_EQ(before.size(), after.size());
    for (size_t k = 0; k < before.size(); ++k) {
        EXPECT_TRUE(before[k].stream == after[k].stream && before[k].pos == after[k].pos &&
                    before[k].size == after[k].size)
            << "packet " << k;
        if (before[k].stream == 0) {
            EXPECT_EQ(before[k].hash, after[k].hash) << "video packet " << k;
        }
    }
}

class D10 : public testing::TestWithParam<d10_case> {};

}  // namespace

TEST_P(D10, MeasuresTheElementsAsFfmpegDemuxesThemAndLikeThePlainPcmFile)
{
    const d10_case c = GetParam();
    const std::string src = media("d10", c);
    const run_result r = lumetrim_run(sh(src));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("inplace_norm_create(" + src + ")=1\nWe have [1] audio tracks\nReading file\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("stream #0 (1):\n"), std::string::npos) << r.err;
    EXPECT_EQ(split_lines(report_of(r)).size(), 4u + 7u * static_cast<unsigned>(c.channels)) << r.err;
    // The same audio as plain PCM gives the very same report.
    const std::string plain = media("plain", c);
    ASSERT_EQ(demuxed_audio(src, c.bits), demuxed_audio(plain, c.bits));
    const run_result p = lumetrim_run(sh(plain));
    ASSERT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(report_of(r), report_of(p));
    EXPECT_NEAR(report_value(r.err, "loudness:  "), ffmpeg_measure(src).integrated, 0.1);
}

TEST_P(D10, NormalisesToTheTargetChangingOnlyTheSampleBits)
{
    const d10_case c = GetParam();
    const std::string src = media("d10", c);
    const std::string dst = dst_path("d10_" + std::to_string(c.channels) + "_" + std::to_string(c.bits) + ".mxf");
    const run_result r = lumetrim_run(sh(src) + " -20 " + sh(dst));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("clipped"), std::string::npos) << r.err;

    const run_result again = lumetrim_run(sh(dst));
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_NEAR(report_value(again.err, "loudness:  "), -20, 0.05);
    EXPECT_NEAR(ffmpeg_measure(dst).integrated, -20, 0.1);

    expect_same_packet_places(src, dst);

    const std::vector<uint8_t> a = read_file(src), b = read_file(dst);
    const std::vector<element> elements = sound_elements(src, a);
    ASSERT_EQ(elements.size(), 75u);  // 3 s at 25 frames per second
    for (const element& el : elements)
        EXPECT_EQ(el.size, 4 + 1920 * 32);
    const int64_t changed = expect_only_sample_bits_changed(
        a, b, elements, c.channels, c.bits, std::vector<parity_rule>(elements.size(), parity_rule::unchanged));
    EXPECT_GT(changed, static_cast<int64_t>(elements.size()) * 1920 * c.channels * 9 / 10);

    // Scaling, truncation and saturation are those of plain PCM: the same
    // audio normalised as plain PCM demuxes to the same bytes, clips included.
    const std::string loud = media("d10", c, true), loud_plain = media("plain", c, true);
    const std::string loud_dst = dst_path("loud_" + std::to_string(c.channels) + "_" + std::to_string(c.bits) + ".mxf");
    const std::string plain_dst = loud_dst + ".plain.mxf";
    const run_result rl = lumetrim_run(sh(loud) + " 10 " + sh(loud_dst));
    const run_result rp = lumetrim_run(sh(loud_plain) + " 10 " + sh(plain_dst));
    ASSERT_EQ(rl.status, 0) << rl.err;
    ASSERT_EQ(rp.status, 0) << rp.err;
    const size_t clip = rl.err.find("clipped amp[1]="), plain_clip = rp.err.find("clipped amp[1]=");
    ASSERT_NE(clip, std::string::npos) << rl.err;
    ASSERT_NE(plain_clip, std::string::npos) << rp.err;
    EXPECT_EQ(rl.err.substr(clip), rp.err.substr(plain_clip));
    EXPECT_EQ(demuxed_audio(loud_dst, c.bits), demuxed_audio(plain_dst, c.bits));
    expect_same_packet_places(loud, loud_dst);
    const std::vector<uint8_t> la = read_file(loud), lb = read_file(loud_dst);
    expect_only_sample_bits_changed(la, lb, sound_elements(loud, la), c.channels, c.bits,
                                    std::vector<parity_rule>(75, parity_rule::unchanged));
}

INSTANTIATE_TEST_SUITE_P(Formats, D10, testing::Values(d10_case{4, 16}, d10_case{8, 24}),
                         [](const testing::TestParamInfo<d10_case>& i) {
                             return std::to_string(i.param.channels) + "ch" + std::to_string(i.param.bits) + "bit";
                         });

TEST(D10Ntsc, ElementsOfTheFiveFrameSequenceAreRewrittenLikeAnyOther)
{
    // At 30000/1001 frames per second the elements hold 1602, 1601, 1602,
    // 1601 and 1602 samples in turn, numbered 1 to 5 in their headers.
    const d10_case c{4, 24};
    const std::string src = media("d10_ntsc", c), dst = dst_path("ntsc.mxf");
    const run_result r = lumetrim_run(sh(src) + " -20 " + sh(dst));
    ASSERT_EQ(r.status, 0) << r.err;
    const run_result again = lumetrim_run(sh(dst));
    EXPECT_NEAR(report_value(again.err, "loudness:  "), -20, 0.05);
    EXPECT_NEAR(ffmpeg_measure(dst).integrated, -20, 0.1);
    const std::vector<uint8_t> a = read_file(src), b = read_file(dst);
    const std::vector<element> elements = sound_elements(src, a);
    ASSERT_GT(elements.size(), 50u);
    for (size_t e = 0; e < elements.size(); ++e) {
        const uint8_t* header = a.data() + elements[e].pos;
        const int samples = e % 5 == 1 || e % 5 == 3 ? 1601 : 1602;
        EXPECT_EQ(header[0], e % 5 + 1) << e;
        EXPECT_EQ(header[1] | header[2] << 8, samples) << e;
        EXPECT_EQ(elements[e].size, 4 + samples * 32) << e;
    }
    EXPECT_GT(expect_only_sample_bits_changed(a, b, elements, c.channels, c.bits,
                                              std::vector<parity_rule>(elements.size(), parity_rule::unchanged)),
              0);
    expect_same_packet_places(src, dst);
}

TEST(D10Parity, ValidParityStaysValidAndOtherElementsKeepTheirParityBits)
{
    const d10_case c{4, 24};
    const std::string made = media("d10", c);
    std::vector<uint8_t> f = read_file(made);
    const std::vector<element> elements = sound_elements(made, f);
    ASSERT_FALSE(elements.empty());
    // As equipment writes them: V clear, U and C bits set here and there and
    // P making every subframe's parity even. Every third element carries one
    // subframe of bad parity and so has parity that cannot be trusted.
    std::vector<parity_rule> rules;
    for (size_t e = 0; e < elements.size(); ++e) {
        int i = 0;
        for (int64_t s = elements[e].pos + 4; s < elements[e].pos + elements[e].size; s += 32, ++i)
            for (int k = 0; k < c.channels; ++k) {
                uint32_t w = le32(f, s + 4 * k) & 0x0FFFFFFFu;
                w |= (i % 7 == k ? 1u << 29 : 0u) | (i % 192 == 0 ? 1u << 30 : 0u);
                if (!even_parity(w))
                    w |= 1u << 31;
                put_le32(&f, s + 4 * k, w);
            }
        rules.push_back(e % 3 == 1 ? parity_rule::unchanged : parity_rule::valid);
        if (e % 3 == 1)
            put_le32(&f, elements[e].pos + 4 + 32 * 100 + 4, le32(f, elements[e].pos + 4 + 32 * 100 + 4) ^ (1u << 31));
    }
    const std::string src = scratch_dir() + "/parity.mxf", dst = dst_path("parity.mxf");
    {
        FILE* out = fopen(src.c_str(), "wb");
        ASSERT_NE(out, nullptr);
        ASSERT_EQ(fwrite(f.data(), 1, f.size(), out), f.size());
        fclose(out);
    }
    // FFmpeg reads none of those bits: the audio is that of the unpatched file.
    ASSERT_EQ(demuxed_audio(src, 24), demuxed_audio(made, 24));
    const run_result r = lumetrim_run(sh(src) + " -30 " + sh(dst));
    ASSERT_EQ(r.status, 0) << r.err;
    expect_same_packet_places(src, dst);
    const std::vector<uint8_t> b = read_file(dst);
    EXPECT_GT(expect_only_sample_bits_changed(f, b, elements, c.channels, c.bits, rules), 0);
    // In the elements of valid parity, some P bits had to change.
    int64_t flipped = 0;
    for (size_t e = 0; e < elements.size(); e += 3)
        for (int64_t s = elements[e].pos + 4; s < elements[e].pos + elements[e].size; s += 32)
            flipped += (le32(f, s) ^ le32(b, s)) >> 31;
    EXPECT_GT(flipped, 0);
}

TEST(D10Damaged, ElementsThatDoNotMatchTheirHeaderAreNotFoundAndNothingIsWritten)
{
    const d10_case c{4, 16};
    const std::string made = media("d10", c);
    const std::vector<uint8_t> good = read_file(made);
    const std::vector<element> elements = sound_elements(made, good);
    ASSERT_GT(elements.size(), 3u);
    const element& el = elements[3];
    struct damage {
        std::string name;
        int64_t at;
        std::vector<uint8_t> bytes;
    };
    // The header's sample count one short (7f 07); the BER length (83 00 f0 04)
    // one sample short, which FFmpeg demuxes as 1,919 samples; the length half
    // a sample short, which FFmpeg still demuxes as 1,920 samples, the last one
    // read from the first half of its subframes.
    for (const damage& d : {damage{"count", el.pos + 1, {0x7F}}, damage{"short", el.pos - 2, {0xEF, 0xE4}},
                            damage{"partial", el.pos - 2, {0xEF, 0xF4}}}) {
        std::vector<uint8_t> f = good;
        std::copy(d.bytes.begin(), d.bytes.end(), f.begin() + d.at);
        const std::string src = scratch_dir() + "/damaged_" + d.name + ".mxf", dst = dst_path("damaged_" + d.name);
        FILE* out = fopen(src.c_str(), "wb");
        ASSERT_NE(out, nullptr);
        ASSERT_EQ(fwrite(f.data(), 1, f.size(), out), f.size());
        fclose(out);
        const run_result r = lumetrim_run(sh(src) + " -20 " + sh(dst));
        EXPECT_EQ(r.status, 234) << d.name << "\n" << r.err;
        EXPECT_NE(r.err.find("Failed to fingerpint packet data!\n[   "), std::string::npos) << d.name << "\n" << r.err;
        EXPECT_NE(r.err.find(" " + std::to_string(el.pos - 20) + " "), std::string::npos) << d.name << "\n" << r.err;
        EXPECT_FALSE(std::filesystem::exists(dst)) << d.name;
    }
    // A transfer cut short inside the last element: refused as well (the
    // element cannot be read back whole), with a line that says why.
    const std::string cut = scratch_dir() + "/cut_d10.mxf";
    {
        FILE* out = fopen(cut.c_str(), "wb");
        ASSERT_NE(out, nullptr);
        const size_t kept = static_cast<size_t>(elements.back().pos + 1000);
        ASSERT_EQ(fwrite(good.data(), 1, kept, out), kept);
        fclose(out);
    }
    const run_result r = lumetrim_run(sh(cut));
    EXPECT_EQ(r.status, 234) << r.err;
    EXPECT_NE(r.err.find("The file ends inside this D-10 sound element: cut short, it cannot be read back whole\n"),
              std::string::npos)
        << r.err;
}

TEST(D10Fingerprint, ElementPlacesAreTheValuesAndAChangeBetweenThePassesIsCaughtOutsideTheSamplesToo)
{
    const std::string made = media("d10", d10_case{4, 16});
    std::vector<uint8_t> f = read_file(made);
    const std::vector<element> elements = sound_elements(made, f);
    const std::string src = scratch_dir() + "/changing.mxf", dst = dst_path("changing.mxf");
    std::filesystem::copy_file(made, src, std::filesystem::copy_options::overwrite_existing);

    inplace_norm_ctx* ctx = nullptr;
    ASSERT_EQ(inplace_norm_create(&ctx, src.c_str()), 1);
    inplace_norm_meters_init(ctx);
    ASSERT_EQ(inplace_norm_read(ctx), 0);
    std::vector<element> places;
    packet_table_reader r = packet_table_begin(ctx->packets);
    for (payload_place p; packet_table_next(&r, &p);) {
        EXPECT_TRUE(p.aes3_element);
        places.push_back({p.pos, p.size});
    }
    ASSERT_EQ(places.size(), elements.size());
    for (size_t e = 0; e < places.size(); ++e)
        EXPECT_TRUE(places[e].pos == elements[e].pos && places[e].size == elements[e].size) << e;

    // A bit FFmpeg never reads: an unused subframe of the sixth element.
    FILE* io = fopen(src.c_str(), "r+b");
    ASSERT_NE(io, nullptr);
    ASSERT_EQ(fseek(io, static_cast<long>(elements[5].pos + 4 + 32 * 10 + 4 * 6), SEEK_SET), 0);
    fputc(0x55, io);
    fclose(io);
    EXPECT_EQ(inplace_norm_normalize(ctx, dst.c_str(), -20), -EIO);
    EXPECT_FALSE(std::filesystem::exists(dst));
    inplace_norm_destroy(&ctx);
}
