// A look-ahead true-peak limiter's gain envelope, one for all the channels of
// a track or programme, so that the image never shifts.
//
// The signal is cut into blocks of limiter_block_frames frames. For each
// block the largest true peak of any channel (of the signal with its static
// gain) gives the gain r <= 1 that keeps it at the threshold. The envelope
// follows r smoothly, in decibels:
// - the smallest r over the block before, the block itself and a look-ahead
//   of limiter_lookahead_ms after it;
// - averaged over a window of the look-ahead's length, so that the gain glides
//   down over the look-ahead before a peak (the attack) instead of jumping;
// - recovering after it exponentially, with a time constant of 50 ms after a
//   short transient and up to 200 ms in sustained passages, so that they do
//   not pump: it grows as reductions of 1 dB or more go on
//   (200 ms after about a second of them) and shrinks back with a memory of
//   a second.
// Each block boundary's knot is the smaller of the envelope on its two sides,
// and the gain between two knots goes straight from one to the other, so the
// gain at every frame is at most the r of its own block and of the blocks
// whose interpolated peaks its samples feed: the block before and after.
//
// The envelope is computed as the blocks come, with a delay: the knot after
// block k is ready once the blocks of its look-ahead (and one more) have been
// pushed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

// Frames per block: a third of a millisecond at 48 kHz.
inline constexpr size_t limiter_block_frames = 16;
// Look-ahead and attack.
inline constexpr double limiter_lookahead_ms = 10;
// Release after a short transient, and after a long reduction.
inline constexpr double limiter_release_short_ms = 50;
inline constexpr double limiter_release_long_ms = 200;
// Recent reduction (milliseconds of 1 dB or more) that takes the release
// from short to long.
inline constexpr double limiter_release_grow_ms = 600;
// A reduction that the release has brought this close to full gain ends.
inline constexpr double limiter_release_floor_db = 0.005;
// How long reductions are remembered when the release time is chosen.
inline constexpr double limiter_activity_memory_ms = 1000;

struct limiter {
    double threshold = 1;  // linear: peaks are kept at or below it
    size_t lookahead = 1;  // blocks
    double block_ms = 0;   // one block's duration
    // (block, gain in dB) candidates for the sliding minimum, gains increasing.
    std::deque<std::pair<uint64_t, double>> minima;
    std::deque<double> window;  // the sliding minima being averaged
    double window_sum = 0;
    uint64_t pushed = 0;       // blocks pushed
    uint64_t smoothed = 0;     // blocks whose envelope is known
    double envelope = 0;       // the last block's envelope, dB
    double reduced_ms = 0;     // recent reduction, in milliseconds of 1 dB or more
    std::vector<float> ready;  // knots (linear) not yet taken, in order
    bool finished = false;
};

// Prepares a limiter for a signal at the given rate, keeping its true peaks at
// or below `threshold` (linear, > 0).
void limiter_init(limiter* l, int sample_rate, double threshold);

// The largest true peak (linear, of the signal with its static gain, over all
// channels) of the next block.
void limiter_push(limiter* l, double peak);

// After the last block: the envelope after the end is full gain.
void limiter_finish(limiter* l);

// Moves the knots that are ready into out (appended): knot k is the gain at
// the boundary between blocks k and k + 1, knot 0 the first one; the gain
// before knot 0 (the first block's start) is that of knot 0.
void limiter_take(limiter* l, std::vector<float>* out);

// The gain of frame i of a block from the knots at its start and its end.
inline double limiter_gain_at(float start, float end, size_t i)
{
    return start + (static_cast<double>(end) - start) * static_cast<double>(i + 1) / limiter_block_frames;
}

// The knots of a gain envelope that are below full gain, kept in runs: a
// limiter reduces the gain around a track's peaks only, and hours of
// envelope then take space for those stretches alone.
struct limiter_envelope {
    std::vector<std::pair<uint64_t, std::vector<float>>> runs;  // (first knot, knots), in order
};

// Appends knots first, first + 1, ... (after every knot appended before).
void limiter_envelope_append(limiter_envelope* env, uint64_t first, const std::vector<float>& knots);

// Knot k: 1 where the envelope has none below full gain.
float limiter_envelope_knot(const limiter_envelope& env, uint64_t k);

// The gains of frames [first_frame, first_frame + frames) into out.
void limiter_envelope_gains(const limiter_envelope& env, uint64_t first_frame, size_t frames, double* out);
