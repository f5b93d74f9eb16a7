// Integrated loudness and loudness range of one multichannel signal, bit for
// bit as libebur128 1.2.6 measures them (EBUR128_MODE_I | EBUR128_MODE_LRA,
// its default channel map), and several times faster.
//
// The signal is K-weighted by a fourth-order direct-form-II filter in double,
// each channel one sample after the other (its recursion fixes the order of
// every operation): channels go side by side in vector lanes instead. Every
// 100 ms a 400 ms gating block, and every second a 3 s short-term block, gets
// the mean square of the filtered signal: per channel a plain sum of squares
// in a fixed order (oldest first, except that a block straddling a multiple of
// the 3 s window is summed from that multiple on first, then its older part,
// as libebur128's ring buffer has it). The sums of several blocks and channels
// are independent of each other, so they run interleaved with the filter of
// the next samples, where they cost little more than the filter alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// One running sum of squares, and the stretches of filtered signal it is
// still to add, in order.
struct loudness_segment {
    size_t at = 0;  // first term, as an index into loudness_meter::filtered
    size_t n = 0;
    size_t chain = 0;   // where its sum goes in loudness_meter::sums
    bool last = false;  // the chain's last stretch
};

struct loudness_lane {
    std::vector<loudness_segment> segments;
    size_t next = 0;  // segment being summed
    size_t left = 0;  // its terms still to add
    size_t at = 0;    // the next of them, in loudness_meter::filtered
    double acc = 0;
    size_t rate = 0;  // terms added per filtered frame; 0 when idle
};

// A gating or short-term block whose channel sums are under way.
struct loudness_block {
    bool short_term = false;
    size_t first_chain = 0;  // the sums of its channels, one after the other
};

constexpr int loudness_lanes = 4;

// Block energies in order, kept in chunks of a fixed size: growing copies
// nothing and leaves no room spare but in the last chunk, so that hours of
// blocks take 8 bytes each and nothing more.
struct loudness_energies {
    static constexpr size_t chunk = 4096;
    std::vector<std::unique_ptr<double[]>> chunks;
    size_t count = 0;
};

void loudness_energies_push(loudness_energies* e, double energy);
inline double loudness_energies_at(const loudness_energies& e, size_t i)
{
    return e.chunks[i / loudness_energies::chunk][i % loudness_energies::chunk];
}

struct loudness_meter {
    int channels = 0;
    unsigned long sample_rate = 0;
    size_t step = 0;               // frames in 100 ms, as libebur128 rounds them
    size_t window = 0;             // libebur128's ring: where a block's wrapped sums start over
    size_t kept = 0;               // frames of filtered signal kept per channel
    size_t batch = 0;              // frames between two schedulings of block sums
    std::vector<int> used;         // channels that count, in order
    std::vector<double> weight;    // per used channel: 1.41 for the surrounds, else 1
    double a[5] = {};              // filter denominator
    double b[5] = {};              // numerator
    std::vector<double> state;     // per used channel: the filter's v1..v4
    std::vector<double> filtered;  // per used channel: the last `kept` frames, ring
    uint64_t frames = 0;           // frames filtered so far
    uint64_t next_gating_end = 0;  // end of the next gating block not yet scheduled
    uint64_t next_short_end = 0;   // likewise for short-term blocks
    loudness_lane lanes[loudness_lanes];
    std::vector<loudness_block> blocks;  // scheduled, in order of their ends
    std::vector<double> sums;            // per channel of each scheduled block
    loudness_energies gating;            // energies of the gating blocks above -70 LUFS, in order
    std::vector<double> short_term;      // energies of the short-term blocks above -70 LUFS
};

// Prepares a meter. Returns 0, or -22 for the channel counts and rates
// libebur128 refuses (0 or over 64 channels, under 16 Hz or over 2,822,400 Hz).
int loudness_meter_init(loudness_meter* lm, int channels, int sample_rate);

struct qpm_meter;

// Quasi-peak meters of the same signal, four per channel (meters[4 * c + i],
// as qpm_process_frames takes them), for samples dt seconds apart.
struct loudness_qpm {
    qpm_meter* const* meters = nullptr;
    double dt = 0;
    bool avx2 = false;  // the processor has AVX2
};

// Feeds `frames` interleaved frames of all channels. s16 and s32 samples are
// read as fractions of 2^15 and 2^31, floats as they are. With qpm, and when
// every channel counts (loudness_meter_uses_all), the quasi-peak meters step
// on the same samples in the filter's pass, ending exactly as after
// qpm_process_frames (but for a level decayed below about 1e-300 by long
// digital silence: see qpm_lanes.h); otherwise qpm is ignored.
void loudness_meter_add_s16(loudness_meter* lm, const int16_t* src, size_t frames, const loudness_qpm* qpm = nullptr);
void loudness_meter_add_s32(loudness_meter* lm, const int32_t* src, size_t frames, const loudness_qpm* qpm = nullptr);
void loudness_meter_add_float(loudness_meter* lm, const float* src, size_t frames, const loudness_qpm* qpm = nullptr);

// Every channel counts in the loudness (none is left out by the channel map).
bool loudness_meter_uses_all(const loudness_meter& lm);

// Completes the sums of every block the samples fed so far have ended: what
// the integrated loudness and the loudness range see. Feeding may go on after.
void loudness_meter_flush(loudness_meter* lm);

// Integrated loudness, LUFS (-inf when no block is above the gates), of the
// blocks completed by the last flush.
double loudness_meter_integrated(const loudness_meter& lm);

// Loudness range, LU (0 without short-term blocks), of the blocks completed by
// the last flush.
double loudness_meter_range(const loudness_meter& lm);

// Loudness, LUFS, of the last `frames` frames fed (those before the first
// counting as silence): libebur128's momentary reading for 4 × step frames,
// short-term for 30 × step, and its window reading for rate × ms / 1000.
// Returns 0, or -22 when the frames exceed libebur128's 3 s window.
int loudness_meter_window(const loudness_meter& lm, size_t frames, double* out);
