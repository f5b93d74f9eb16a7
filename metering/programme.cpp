#include "programme.h"

#include <algorithm>
#include <cstring>

namespace {

// Stream indexes are small; anything longer is a typing error, not a stream.
constexpr int max_stream_index = 1 << 20;

// Reads a decimal number at *p, advancing past it. Returns -1 when there is none
// or when it is too large.
int read_index(const char** p)
{
    if (**p < '0' || **p > '9')
        return -1;
    long v = 0;
    for (; **p >= '0' && **p <= '9'; ++*p) {
        v = v * 10 + (**p - '0');
        if (v > max_stream_index)
            return -1;
    }
    return static_cast<int>(v);
}

}  // namespace

int programme_groups_parse(const char* text, std::vector<programme_group>* groups)
{
    std::vector<programme_group> out;
    const char* p = text;
    for (;;) {
        programme_group g;
        g.first = read_index(&p);
        if (g.first < 0)
            return -22;
        g.last = g.first;
        if (*p == '-') {
            ++p;
            g.last = read_index(&p);
            if (g.last < g.first)
                return -22;
        }
        g.name = std::to_string(g.first);
        if (g.last != g.first)
            g.name += "-" + std::to_string(g.last);
        out.push_back(std::move(g));
        if (*p == '\0')
            break;
        if (*p != ',')
            return -22;
        ++p;
    }
    *groups = std::move(out);
    return 0;
}

int programme_groups_overlap(const std::vector<programme_group>& groups)
{
    int first = -1;
    for (size_t i = 0; i < groups.size(); ++i)
        for (size_t j = i + 1; j < groups.size(); ++j) {
            const int from = std::max(groups[i].first, groups[j].first);
            if (from <= std::min(groups[i].last, groups[j].last) && (first < 0 || from < first))
                first = from;
        }
    return first;
}

bool programme_groups_read(const char* text, std::vector<programme_group>* groups, std::string* why)
{
    if (programme_groups_parse(text, groups) != 0) {
        *why = std::string("Invalid programme groups: ") + text;
        return false;
    }
    if (const int s = programme_groups_overlap(*groups); s >= 0) {
        *why = "Stream #" + std::to_string(s) + " is in more than one programme group";
        return false;
    }
    return true;
}

void programme_feed_init(programme_feed* feed, const std::vector<size_t>& channels,
                         const std::vector<track_sample_format>& formats, track_sample_format format)
{
    feed->format = format;
    feed->sample_bytes = track_sample_bytes(format);
    feed->channels = channels;
    feed->formats = formats;
    feed->queued.assign(channels.size(), {});
    feed->head.assign(channels.size(), 0);
    feed->ended.assign(channels.size(), 0);
    feed->skip.assign(channels.size(), 0);
    feed->taken = 0;
    feed->queued_bytes = 0;
}

namespace {

// n samples of format `from` as samples of format `to`, exactly: 16-bit
// integers become 32-bit ones (the loudness meter scales both to the same
// value), integers become floats only beside floats.
void programme_convert(track_sample_format from, track_sample_format to, const uint8_t* in, size_t n, uint8_t* out)
{
    for (size_t i = 0; i < n; ++i, out += 4) {
        if (from == TRACK_S16) {
            int16_t v;
            std::memcpy(&v, in + i * 2, 2);
            if (to == TRACK_S32) {
                const int32_t w = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint16_t>(v)) << 16);
                std::memcpy(out, &w, 4);
            } else {
                const float f = static_cast<float>(v) / 32768.0f;
                std::memcpy(out, &f, 4);
            }
        } else {  // 32-bit integers beside floats
            int32_t v;
            std::memcpy(&v, in + i * 4, 4);
            const float f = static_cast<float>(static_cast<double>(v) / 2147483648.0);
            std::memcpy(out, &f, 4);
        }
    }
}

}  // namespace

void programme_feed_push(programme_feed* feed, size_t m, const uint8_t* samples, size_t frames)
{
    const size_t skip = static_cast<size_t>(std::min<uint64_t>(feed->skip[m], frames));
    feed->skip[m] -= skip;
    frames -= skip;
    const track_sample_format from = feed->formats[m];
    samples += skip * feed->channels[m] * track_sample_bytes(from);
    if (frames == 0)
        return;
    const size_t n = frames * feed->channels[m];
    if (from != feed->format) {
        feed->converted.resize(n * feed->sample_bytes);
        programme_convert(from, feed->format, samples, n, feed->converted.data());
        samples = feed->converted.data();
    }
    const size_t bytes = n * feed->sample_bytes;
    std::vector<uint8_t>& q = feed->queued[m];
    // Taken bytes are dropped once they outweigh the waiting ones, so that a
    // queue is moved about as often as it is filled.
    if (feed->head[m] > 0 && feed->head[m] >= q.size() - feed->head[m]) {
        q.erase(q.begin(), q.begin() + static_cast<ptrdiff_t>(feed->head[m]));
        feed->head[m] = 0;
    }
    q.insert(q.end(), samples, samples + bytes);
    feed->queued_bytes += bytes;
}

size_t programme_feed_waiting(const programme_feed& feed, size_t m)
{
    return (feed.queued[m].size() - feed.head[m]) / (feed.channels[m] * feed.sample_bytes);
}

size_t programme_feed_ready(const programme_feed& feed)
{
    size_t open_least = SIZE_MAX, longest = 0;
    for (size_t m = 0; m < feed.channels.size(); ++m) {
        const size_t waiting = programme_feed_waiting(feed, m);
        longest = std::max(longest, waiting);
        if (!feed.ended[m])
            open_least = std::min(open_least, waiting);
    }
    return open_least == SIZE_MAX ? longest : open_least;
}

void programme_feed_take(programme_feed* feed, size_t frames, uint8_t* out)
{
    const size_t n = feed->channels.size();
    if (frames == 0)
        return;
    feed->taken += frames;
    if (n == 1) {
        const size_t have = std::min(frames, programme_feed_waiting(*feed, 0));
        const size_t frame_bytes = feed->channels[0] * feed->sample_bytes;
        if (have > 0)
            std::memcpy(out, feed->queued[0].data() + feed->head[0], have * frame_bytes);
        std::memset(out + have * frame_bytes, 0, (frames - have) * frame_bytes);
        feed->head[0] += have * frame_bytes;
        feed->queued_bytes -= have * frame_bytes;
        return;
    }
    // Members that ended short give whole frames of zeros after their last.
    std::vector<size_t> have(n);
    for (size_t m = 0; m < n; ++m)
        have[m] = std::min(frames, programme_feed_waiting(*feed, m));
    for (size_t f = 0; f < frames; ++f)
        for (size_t m = 0; m < n; ++m) {
            const size_t bytes = feed->channels[m] * feed->sample_bytes;
            if (f < have[m]) {
                std::memcpy(out, feed->queued[m].data() + feed->head[m], bytes);
                feed->head[m] += bytes;
            } else {
                std::memset(out, 0, bytes);
            }
            out += bytes;
        }
    for (size_t m = 0; m < n; ++m)
        feed->queued_bytes -= have[m] * feed->channels[m] * feed->sample_bytes;
}

void programme_feed_end(programme_feed* feed, size_t m)
{
    feed->ended[m] = 1;
}

size_t programme_feed_pad(programme_feed* feed)
{
    for (size_t m = 0; m < feed->channels.size(); ++m)
        programme_feed_end(feed, m);
    return programme_feed_ready(*feed);
}

void programme_feed_clear(programme_feed* feed)
{
    for (size_t m = 0; m < feed->channels.size(); ++m) {
        std::vector<uint8_t>().swap(feed->queued[m]);
        feed->head[m] = 0;
        feed->ended[m] = 0;
    }
    feed->queued_bytes = 0;
}

void programme_feed_restart(programme_feed* feed)
{
    programme_feed_clear(feed);
    for (uint64_t& skip : feed->skip)
        skip = feed->taken;
}
