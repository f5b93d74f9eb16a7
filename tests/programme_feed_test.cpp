// Lining up a programme's tracks: frames taken member after member in each
// frame, in the programme's format, silence for a member that has ended, and
// after a restart the frames already taken dropped from each member as it
// comes again. The expected frames are written out by hand.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "programme.h"

namespace {

template <typename T>
void push(programme_feed* feed, size_t m, const std::vector<T>& samples, size_t channels)
{
    programme_feed_push(feed, m, reinterpret_cast<const uint8_t*>(samples.data()), samples.size() / channels);
}

template <typename T>
std::vector<T> take(programme_feed* feed, size_t frames, size_t frame_samples)
{
    std::vector<T> out(frames * frame_samples);
    programme_feed_take(feed, frames, reinterpret_cast<uint8_t*>(out.data()));
    return out;
}

}  // namespace

TEST(ProgrammeFeed, FramesAreTakenMemberAfterMemberOnlyWhenEveryMemberHasThem)
{
    // A stereo member and a mono one, 32-bit samples.
    programme_feed feed;
    programme_feed_init(&feed, {2, 1}, {TRACK_S32, TRACK_S32}, TRACK_S32);
    push<int32_t>(&feed, 0, {1, 2, 3, 4, 5, 6}, 2);  // three frames
    EXPECT_EQ(programme_feed_ready(feed), 0u);
    push<int32_t>(&feed, 1, {10, 20}, 1);  // two
    EXPECT_EQ(programme_feed_ready(feed), 2u);
    EXPECT_EQ(take<int32_t>(&feed, 2, 3), (std::vector<int32_t>{1, 2, 10, 3, 4, 20}));
    EXPECT_EQ(programme_feed_waiting(feed, 0), 1u);
    EXPECT_EQ(programme_feed_waiting(feed, 1), 0u);
    // The mono member ends: the stereo member's last frame comes with silence.
    programme_feed_end(&feed, 1);
    EXPECT_EQ(programme_feed_ready(feed), 1u);
    EXPECT_EQ(take<int32_t>(&feed, 1, 3), (std::vector<int32_t>{5, 6, 0}));
    EXPECT_EQ(feed.queued_bytes, 0u);
    EXPECT_EQ(feed.taken, 3u);
}

TEST(ProgrammeFeed, AMemberThatEndedNeverHoldsTheOthersBack)
{
    programme_feed feed;
    programme_feed_init(&feed, {1, 1, 1}, {TRACK_S32, TRACK_S32, TRACK_S32}, TRACK_S32);
    push<int32_t>(&feed, 0, {1, 2, 3, 4}, 1);
    push<int32_t>(&feed, 1, {5}, 1);
    push<int32_t>(&feed, 2, {6, 7, 8}, 1);
    programme_feed_end(&feed, 1);
    // The open members hold 4 and 3 frames: 3 are ready, the ended member
    // giving its one sample and then silence.
    EXPECT_EQ(programme_feed_ready(feed), 3u);
    EXPECT_EQ(take<int32_t>(&feed, 3, 3), (std::vector<int32_t>{1, 5, 6, 2, 0, 7, 3, 0, 8}));
    // Once all have ended the longest is taken whole.
    EXPECT_EQ(programme_feed_pad(&feed), 1u);
    EXPECT_EQ(take<int32_t>(&feed, 1, 3), (std::vector<int32_t>{4, 0, 0}));
    EXPECT_EQ(programme_feed_ready(feed), 0u);
}

TEST(ProgrammeFeed, SamplesBecomeTheProgrammesFormatExactly)
{
    // 16-bit beside 32-bit: the 16-bit sample in the top half of a 32-bit one.
    programme_feed ints;
    programme_feed_init(&ints, {1, 1}, {TRACK_S16, TRACK_S32}, TRACK_S32);
    push<int16_t>(&ints, 0, {-32768, 1, 32767}, 1);
    push<int32_t>(&ints, 1, {7, 8, 9}, 1);
    EXPECT_EQ(take<int32_t>(&ints, 3, 2), (std::vector<int32_t>{INT32_MIN, 7, 65536, 8, 32767 * 65536, 9}));
    // Beside floats: 16-bit over 32768, 32-bit over 2^31.
    programme_feed floats;
    programme_feed_init(&floats, {1, 1, 1}, {TRACK_S16, TRACK_S32, TRACK_FLOAT}, TRACK_FLOAT);
    push<int16_t>(&floats, 0, {-32768, 16384}, 1);
    push<int32_t>(&floats, 1, {INT32_MIN, 1 << 29}, 1);
    push<float>(&floats, 2, {0.25f, -0.125f}, 1);
    EXPECT_EQ(take<float>(&floats, 2, 3), (std::vector<float>{-1.0f, -1.0f, 0.25f, 0.5f, 0.25f, -0.125f}));
}

TEST(ProgrammeFeed, ARestartDropsWhatWasTakenFromEachMemberAsItComesAgain)
{
    programme_feed feed;
    programme_feed_init(&feed, {1, 2}, {TRACK_S32, TRACK_S32}, TRACK_S32);
    push<int32_t>(&feed, 0, {1, 2, 3}, 1);
    push<int32_t>(&feed, 1, {10, 11, 20, 21}, 2);
    EXPECT_EQ(take<int32_t>(&feed, 2, 3), (std::vector<int32_t>{1, 10, 11, 2, 20, 21}));
    // Read back from the start: two frames of each are dropped, in whatever
    // pieces they come, and taking goes on at the third frame.
    programme_feed_restart(&feed);
    EXPECT_EQ(programme_feed_ready(feed), 0u);
    push<int32_t>(&feed, 0, {1}, 1);
    push<int32_t>(&feed, 0, {2, 3, 4}, 1);
    push<int32_t>(&feed, 1, {10, 11, 20, 21, 30, 31}, 2);
    EXPECT_EQ(programme_feed_ready(feed), 1u);
    EXPECT_EQ(take<int32_t>(&feed, 1, 3), (std::vector<int32_t>{3, 30, 31}));
    EXPECT_EQ(feed.taken, 3u);
}
