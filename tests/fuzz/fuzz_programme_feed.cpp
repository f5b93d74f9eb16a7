// Fuzzes the lining up of a programme's tracks: members of random lengths and
// channel counts are pushed in random chunks and interleavings, taken at
// random moments, ended, and read back in rounds from a random point on, as
// both programs do when a programme's tracks lie far apart. Whatever the
// order, the frames taken must be every member's samples frame by frame, a
// member that ran short giving zeros, up to the longest member: a plain loop
// that pads with zeros is the oracle. A round that neither ends the reading
// nor makes a frame ready would loop forever, and aborts.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "programme.h"

namespace {

// Sample c of frame f of member m: never 0, which is the padding's value.
uint32_t sample_value(size_t m, size_t c, size_t f)
{
    return static_cast<uint32_t>(1 + (m << 28) + (c << 24) + f);
}

struct byte_stream {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
    uint8_t next(uint8_t otherwise) { return pos < size ? data[pos++] : otherwise; }
};

// The members' samples, handed out in chunks whose sizes come from the input.
struct fuzz_tracks {
    byte_stream* in = nullptr;
    std::vector<size_t> channels, length, next_frame;
    std::vector<uint32_t> chunk;
};

// Pushes up to `want` frames of member m; false when it has none left.
bool fuzz_push(fuzz_tracks* t, size_t m, size_t want, programme_feed* feed)
{
    if (t->next_frame[m] >= t->length[m])
        return false;
    const size_t frames = std::min(want, t->length[m] - t->next_frame[m]);
    t->chunk.clear();
    for (size_t f = t->next_frame[m]; f < t->next_frame[m] + frames; ++f)
        for (size_t c = 0; c < t->channels[m]; ++c)
            t->chunk.push_back(sample_value(m, c, f));
    t->next_frame[m] += frames;
    programme_feed_push(feed, m, reinterpret_cast<const uint8_t*>(t->chunk.data()), frames);
    return true;
}

int programme_source_read(fuzz_tracks* t, size_t m, programme_feed* feed)
{
    // A chunk of 0 frames stands for a packet of another stream, or a decoder
    // that yields nothing yet.
    return fuzz_push(t, m, t->in->next(97) * 3u, feed) ? 1 : 0;
}

void take(programme_feed* feed, size_t frames, size_t frame_samples, std::vector<uint32_t>* out)
{
    const size_t at = out->size();
    out->resize(at + frames * frame_samples);
    programme_feed_take(feed, frames, reinterpret_cast<uint8_t*>(out->data() + at));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    byte_stream in{data, size};
    fuzz_tracks t;
    t.in = &in;
    const size_t members = 1 + in.next(0) % 5;
    size_t frame_samples = 0, longest = 0;
    for (size_t m = 0; m < members; ++m) {
        t.channels.push_back(1 + in.next(0) % 3);
        const size_t hi = in.next(0), lo = in.next(0);
        t.length.push_back((hi << 8 | lo) % 5000);
        frame_samples += t.channels.back();
        longest = std::max(longest, t.length.back());
    }
    t.next_frame.assign(members, 0);
    programme_feed feed;
    programme_feed_init(&feed, t.channels, std::vector<track_sample_format>(members, TRACK_S32), TRACK_S32);

    // The scan: pushes in the file's order, takes what is ready.
    std::vector<uint32_t> out;
    const size_t switch_at = in.next(255);  // read back after this many steps, if ever
    bool read_back = false;
    for (size_t step = 0; in.pos < in.size; ++step) {
        if (step == switch_at) {
            read_back = true;
            break;
        }
        const uint8_t op = in.next(0);
        const size_t m = op % members;
        if (op & 0x80) {
            const size_t ready = programme_feed_ready(feed);
            take(&feed, std::min<size_t>(ready, in.next(255) * 7u), frame_samples, &out);
        } else if (!fuzz_push(&t, m, 1 + in.next(0) * 5u, &feed) && (op & 0x40)) {
            programme_feed_end(&feed, m);
        }
    }
    if (!read_back) {
        // The rest of the file, then its end: every member ends, the longest
        // is taken whole.
        for (size_t m = 0; m < members; ++m)
            fuzz_push(&t, m, t.length[m], &feed);
        take(&feed, programme_feed_pad(&feed), frame_samples, &out);
    } else {
        // Every member from its start again: the feed drops what was taken
        // already.
        programme_feed_restart(&feed);
        t.next_frame.assign(members, 0);
        const size_t step = 1 + in.next(0) % 200;
        size_t rounds = 0;
        for (int64_t ready; (ready = programme_read_back_round(&feed, &t, step)) != 0;) {
            if (ready < 0 || ++rounds > longest + 1)
                abort();
            take(&feed, static_cast<size_t>(ready), frame_samples, &out);
        }
    }
    if (feed.queued_bytes != 0 || programme_feed_ready(feed) != 0)
        abort();

    std::vector<uint32_t> expected;
    for (size_t f = 0; f < longest; ++f)
        for (size_t m = 0; m < members; ++m)
            for (size_t c = 0; c < t.channels[m]; ++c)
                expected.push_back(f < t.length[m] ? sample_value(m, c, f) : 0);
    if (out != expected)
        abort();
    return 0;
}
