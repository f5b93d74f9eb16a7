// Programmes: groups of tracks whose channels, in stream order, are measured as
// one multichannel signal (two mono tracks as one stereo programme, six as one
// 5.1). Both programs name them the same way on their command lines and line
// up the tracks' samples the same way before a programme's meter sees them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "track_meter.h"

// A range of stream indexes, first to last inclusive, as written in a group list.
struct programme_group {
    int first = 0;
    int last = 0;
    std::string name;  // "1-2", or "3" for a single stream
};

// Parses a comma-separated list of stream-index ranges ("1-2,3-8") or single
// indexes ("1-2,3,4"). Returns 0, or -22 when the text is not such a list (an
// empty item, a reversed range, a number too large).
int programme_groups_parse(const char* text, std::vector<programme_group>* groups);

// The first stream index named by more than one group, or -1 when none is.
int programme_groups_overlap(const std::vector<programme_group>& groups);

// The groups of a -p option as both programs take them: parsed, and no stream
// in two of them. False with the diagnostic in *why otherwise.
bool programme_groups_read(const char* text, std::vector<programme_group>* groups, std::string* why);

// Samples of a programme's tracks waiting until every track has them: the
// tracks' packets arrive in whatever order the input holds them, the
// programme's meter needs whole frames across all of them, in one format.
struct programme_feed {
    track_sample_format format = TRACK_FLOAT;  // of the frames taken
    size_t sample_bytes = 4;                   // of format
    std::vector<size_t> channels;              // per member track
    std::vector<track_sample_format> formats;  // per member: of the samples pushed
    std::vector<std::vector<uint8_t>> queued;  // per member: interleaved samples not yet taken
    std::vector<size_t> head;                  // per member: bytes of queued already taken
    std::vector<uint8_t> ended;                // per member: nothing more will come
    std::vector<uint64_t> skip;                // per member: frames to drop from what is pushed
    uint64_t taken = 0;                        // frames taken so far
    size_t queued_bytes = 0;                   // bytes waiting in all members
    std::vector<uint8_t> converted;            // a member's samples in the feed's format
};

// Prepares a feed for members with the given channel counts and sample
// formats, whose frames are taken in `format`. Each member's format must
// convert to it exactly: 16-bit integers to 32-bit ones or to floats, 32-bit
// integers to floats (as the loudness meter scales them alike).
void programme_feed_init(programme_feed* feed, const std::vector<size_t>& channels,
                         const std::vector<track_sample_format>& formats, track_sample_format format);

// Appends `frames` interleaved frames of member m, in the member's format.
void programme_feed_push(programme_feed* feed, size_t m, const uint8_t* samples, size_t frames);

// Frames that can be taken now: as many as every member that has not ended
// has waiting (a member that has ended is silent after its last sample), or,
// once every member has ended, as many as the longest has.
size_t programme_feed_ready(const programme_feed& feed);

// Frames member m has waiting.
size_t programme_feed_waiting(const programme_feed& feed, size_t m);

// Moves `frames` frames (at most programme_feed_ready) out of the feed into
// out as frames of all members' channels, member after member in each frame;
// a member that has ended and has fewer gives zeros for the rest.
void programme_feed_take(programme_feed* feed, size_t frames, uint8_t* out);

// Member m has no more samples: from the end of what it has it counts as
// silence, so the other members' samples need not wait for it.
void programme_feed_end(programme_feed* feed, size_t m);

// At the end of the input: ends every member, so that what the longest member
// has can be taken. Returns the frames now ready.
size_t programme_feed_pad(programme_feed* feed);

// Drops everything waiting; every member is open again.
void programme_feed_clear(programme_feed* feed);

// Drops everything waiting so that the members can be pushed again from
// their beginnings: the frames already taken are dropped from each as it
// comes, and taking goes on after them.
void programme_feed_restart(programme_feed* feed);

// Each member of a programme is read ahead by about this many frames before
// the programme's frames are taken, when its tracks are read back in turn.
inline constexpr size_t programme_read_back_step = 1 << 16;

// One round of reading a programme's members back in turn: reads every member
// that has not ended until it has `step` frames waiting,
// with `programme_source_read(source, m, feed)`, which pushes zero or more
// frames of member m and returns 1 while more may follow, 0 when the member
// has ended, or a negative error. Returns the frames then ready (at least one
// unless every member has ended with nothing waiting, which ends the reading),
// or the error.
//
// Every round either ends the reading or makes at least one frame ready:
// afterwards every member has ended or has a whole step waiting, so the
// smallest of the members still open is a whole step.
template <class Source>
int64_t programme_read_back_round(programme_feed* feed, Source* source, size_t step = programme_read_back_step)
{
    step = std::max<size_t>(step, 1);
    for (size_t m = 0; m < feed->channels.size(); ++m)
        while (!feed->ended[m] && programme_feed_waiting(*feed, m) < step) {
            const int r = programme_source_read(source, m, feed);
            if (r < 0)
                return r;
            if (r == 0)
                programme_feed_end(feed, m);
        }
    return static_cast<int64_t>(programme_feed_ready(*feed));
}
