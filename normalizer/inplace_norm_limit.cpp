// The true-peak limiter of lumetrim -L: for each track or programme, the gain
// envelope that keeps the gained signal's true peak at the ceiling, and the
// static gain raised until the limited signal is at the target again. Both
// are found by reading the payloads back: one pass computes the envelope for
// a static gain, another meters exactly what the destination will hold, and
// the gain and the limiter's threshold move until the metered loudness is
// within 0.05 LU of the target and the metered true peak at the ceiling.
#include <algorithm>
#include <cmath>

#include "inplace_norm.h"
#include "payload_reader.h"
#include "true_peak.h"

namespace {

// Loudness within this of the target ends the search.
constexpr double limit_tolerance_lu = 0.05;
constexpr int limit_passes_max = 12;

// The aligned frames of a unit's tracks, read back from the source (or as
// the destination will hold them, with gains), handed out a round at a time.
struct unit_frames {
    payload_reader reader;
    programme_feed feed;
    std::vector<float> frames;  // the last round's, interleaved over all channels
    size_t channels = 0;
};

void unit_frames_init(unit_frames* u, const inplace_norm_ctx* ctx, const std::vector<size_t>& tracks,
                      const std::vector<track_gain>* gains)
{
    payload_reader_init(&u->reader, ctx, tracks, gains);
    std::vector<size_t> channels;
    for (size_t t : tracks)
        channels.push_back(static_cast<size_t>(ctx->measured.tracks[t].channels));
    programme_feed_init(&u->feed, channels, std::vector<track_sample_format>(tracks.size(), TRACK_FLOAT), TRACK_FLOAT);
    u->channels = 0;
    for (size_t c : channels)
        u->channels += c;
}

// The next round of frames. Returns their number (0 at the end) or -errno.
int64_t unit_frames_next(unit_frames* u)
{
    const int64_t ready = programme_read_back_round(&u->feed, &u->reader);
    if (ready > 0) {
        u->frames.resize(static_cast<size_t>(ready) * u->channels);
        programme_feed_take(&u->feed, static_cast<size_t>(ready), reinterpret_cast<uint8_t*>(u->frames.data()));
    }
    return ready;
}

// The envelope that keeps the unit's signal, times gain, at the threshold.
// Returns 0 or -errno.
int limit_envelope_pass(const inplace_norm_ctx* ctx, const std::vector<size_t>& tracks, int sample_rate, double gain,
                        double threshold, limiter_envelope* env)
{
    unit_frames u;
    unit_frames_init(&u, ctx, tracks, nullptr);
    limiter lim;
    limiter_init(&lim, sample_rate, threshold);
    std::vector<true_peak_meter> peaks(u.channels);
    for (true_peak_meter& tp : peaks)
        true_peak_init(&tp, sample_rate);
    std::vector<float> block(limiter_block_frames * u.channels);
    std::vector<float> knots;
    uint64_t knots_taken = 0;
    size_t in_block = 0;
    // The block's largest true peak over every channel: the meters' maxima are
    // taken afresh for each block, their interpolation goes on across blocks.
    auto end_block = [&] {
        double peak = 0;
        for (size_t c = 0; c < u.channels; ++c) {
            true_peak_take_maxima(&peaks[c]);
            true_peak_add_float(&peaks[c], block.data() + c, in_block, u.channels);
            peak = std::max(peak, true_peak_true_peak(peaks[c]));
        }
        limiter_push(&lim, peak);
        in_block = 0;
    };
    *env = limiter_envelope{};
    for (int64_t n; (n = unit_frames_next(&u)) != 0;) {
        if (n < 0)
            return static_cast<int>(n);
        for (size_t f = 0; f < static_cast<size_t>(n); ++f) {
            for (size_t c = 0; c < u.channels; ++c)
                block[in_block * u.channels + c] =
                    static_cast<float>(static_cast<double>(u.frames[f * u.channels + c]) * gain);
            if (++in_block == limiter_block_frames)
                end_block();
        }
        knots.clear();
        limiter_take(&lim, &knots);
        limiter_envelope_append(env, knots_taken, knots);
        knots_taken += knots.size();
    }
    if (in_block > 0)
        end_block();
    limiter_finish(&lim);
    knots.clear();
    limiter_take(&lim, &knots);
    limiter_envelope_append(env, knots_taken, knots);
    // A source that changed since the scan is caught where the destination
    // is written, which checks every payload.
    return 0;
}

struct unit_result {
    double loudness = 0;
    double true_peak = 0;
};

// What the unit's tracks will hold under the gains: their loudness and
// largest true peak. Returns 0 or -errno.
int limit_meter_pass(const inplace_norm_ctx* ctx, const std::vector<size_t>& tracks, int sample_rate,
                     const std::vector<track_gain>& gains, unit_result* out)
{
    unit_frames u;
    unit_frames_init(&u, ctx, tracks, &gains);
    std::vector<track_meter> meters(1);
    if (track_meter_init(&meters[0], static_cast<int>(u.channels), sample_rate, TRACK_FLOAT) != 0)
        return -EINVAL;
    meter_pool* raw = nullptr;
    if (meter_pool_create(&raw, &meters, ctx->measured.threads) != 0)
        return -ENOMEM;
    meter_pool_ptr pool(raw);
    // Each round goes from the feed straight into the meter's room.
    for (int64_t n; (n = programme_read_back_round(&u.feed, &u.reader)) != 0;) {
        if (n < 0)
            return static_cast<int>(n);
        programme_feed_take(&u.feed, static_cast<size_t>(n), meter_pool_append(pool.get(), 0, static_cast<size_t>(n)));
    }
    meter_pool_finish(pool.get());
    const track_figures f = track_meter_figures(meters[0]);
    out->loudness = f.loudness;
    out->true_peak = 0;
    for (const channel_figures& ch : f.channels)
        out->true_peak = std::max(out->true_peak, ch.true_peak);
    return 0;
}

// The share of frames an envelope reduces by more than 0.1 dB (its release
// tails off more finely than that), and its deepest reduction in dB.
void limit_envelope_extent(const limiter_envelope& env, uint64_t frames, double* share, double* deepest_db)
{
    const float audible = static_cast<float>(std::pow(10.0, -0.1 / 20.0));
    uint64_t blocks = 0;
    float lowest = 1.0f;
    for (const auto& run : env.runs)
        for (float k : run.second) {
            blocks += k < audible;
            lowest = std::min(lowest, k);
        }
    const uint64_t reduced = std::min<uint64_t>(frames, blocks * limiter_block_frames);
    *share = frames > 0 ? static_cast<double>(reduced) / static_cast<double>(frames) : 0;
    *deepest_db = lowest < 1.0f ? -20.0 * std::log10(static_cast<double>(lowest)) : 0;
}

// The next static gain to try, in dB, from the passes so far (gain in dB,
// limited loudness): between the closest passes on either side of the
// target once there are such, by a secant held away from their ends; before
// that, a step from the last pass along the slope of the last two (or of 1,
// gain for loudness), at least a quarter of it.
double limit_next_gain_db(const std::vector<std::pair<double, double>>& tried, double target)
{
    const auto& last = tried.back();
    const std::pair<double, double>* below = nullptr;
    const std::pair<double, double>* above = nullptr;
    for (const auto& p : tried) {
        if (p.second < target && (!below || p.second > below->second))
            below = &p;
        if (p.second > target && (!above || p.second < above->second))
            above = &p;
    }
    if (below && above) {
        const double t = (target - below->second) / (above->second - below->second);
        return below->first + std::clamp(t, 0.2, 0.8) * (above->first - below->first);
    }
    double slope = 1.0;
    if (tried.size() >= 2) {
        const auto& prev = tried[tried.size() - 2];
        if (last.first != prev.first)
            slope = std::clamp((last.second - prev.second) / (last.first - prev.first), 0.25, 1.0);
    }
    return last.first + (target - last.second) / slope;
}

// Searches one unit's static gain and envelope: from the plain gain up to
// limit_raise_max_db above it, until the limited signal is at the target with
// its true peak at or below the ceiling (linear). Leaves in the unit the gain,
// envelope and loudness of the best pass (no envelope when nothing passes the
// ceiling). Returns 0 or -errno.
int limit_search(const inplace_norm_ctx* ctx, const std::vector<track_gain>& gains, double plain, double target,
                 double ceiling, limit_unit* unit)
{
    const int rate = ctx->measured.tracks[unit->tracks[0]].sample_rate;
    const double lowest_db = 20.0 * std::log10(plain);
    const double highest_db = lowest_db + limit_raise_max_db;
    double gain = plain;
    // A little below the ceiling: the gain moves within the interpolator's
    // reach, and the samples are truncated to their width afterwards.
    double threshold = ceiling * std::pow(10.0, -0.02 / 20.0);
    // The limited loudness rises with the static gain more slowly than the
    // gain, and not smoothly (a longer reduction releases more slowly): the
    // gain is searched for, bracketed once passes on both sides of the target
    // are known, and the best pass is kept.
    std::vector<std::pair<double, double>> tried;  // (gain in dB, loudness)
    double best_miss = INFINITY;
    bool held = false;  // some pass held the ceiling
    unit->gain = plain;
    // The pass that came closest to the ceiling without holding it, kept if
    // none holds it: below the samples' resolution, truncation leaves a step
    // that no threshold removes.
    double over_peak = INFINITY, over_gain = plain, over_loudness = NAN;
    limiter_envelope over_envelope;
    for (int pass = 0; pass < limit_passes_max; ++pass) {
        limiter_envelope envelope;
        if (const int err = limit_envelope_pass(ctx, unit->tracks, rate, gain, threshold, &envelope); err != 0)
            return err;
        if (envelope.runs.empty() && pass == 0)
            return 0;  // nothing passes the ceiling: the plain gain, as without the limiter
        std::vector<track_gain> trial = gains;
        for (size_t t : unit->tracks)
            trial[t] = {gain, &envelope};
        unit_result result;
        if (const int err = limit_meter_pass(ctx, unit->tracks, rate, trial, &result); err != 0)
            return err;
        if (result.true_peak > ceiling) {
            if (result.true_peak < over_peak) {
                over_peak = result.true_peak;
                over_gain = gain;
                over_loudness = result.loudness;
                over_envelope = std::move(envelope);
            }
            // The gain moved within the interpolator's reach more than the
            // margin allows: a lower threshold, and the same gain again.
            threshold *= ceiling / result.true_peak * std::pow(10.0, -0.01 / 20.0);
            continue;
        }
        // A pass that holds the ceiling is kept even when its loudness is
        // below the gate (-inf, and so infinitely far from the target).
        const double miss = std::fabs(result.loudness - target);
        if (!held || miss < best_miss) {
            held = true;
            best_miss = miss;
            unit->gain = gain;
            unit->envelope = std::move(envelope);
            unit->report.loudness = result.loudness;
        }
        if (miss <= limit_tolerance_lu || !std::isfinite(result.loudness))
            break;
        const double gain_db = 20.0 * std::log10(gain);
        tried.emplace_back(gain_db, result.loudness);
        const double next_db = std::clamp(limit_next_gain_db(tried, target), lowest_db, highest_db);
        // Pinned at either end of the range: the target lies outside it.
        if (next_db == gain_db)
            break;
        gain = std::pow(10.0, next_db / 20.0);
    }
    if (!held && std::isfinite(over_peak)) {
        unit->gain = over_gain;
        unit->envelope = std::move(over_envelope);
        unit->report.loudness = over_loudness;
        unit->report.missed_peak_db = 20.0 * std::log10(over_peak);
    }
    unit->report.reached = best_miss <= limit_tolerance_lu;
    return 0;
}

}  // namespace

int inplace_norm_limit(inplace_norm_ctx* ctx, double target, double ceiling_dbtp, std::vector<track_gain>* gains,
                       std::vector<limit_unit>* units)
{
    const measurement& m = ctx->measured;
    // The units: every programme, then every track of no programme.
    units->clear();
    for (const audio_programme& p : m.programmes) {
        units->emplace_back();
        units->back().tracks = p.tracks;
    }
    for (size_t t = 0; t < m.tracks.size(); ++t)
        if (m.tracks[t].programme < 0) {
            units->emplace_back();
            units->back().tracks = {t};
        }
    for (limit_unit& unit : *units) {
        const double plain = (*gains)[unit.tracks[0]].gain;
        if (!std::isfinite(plain))
            continue;
        if (const int err = limit_search(ctx, *gains, plain, target, std::pow(10.0, ceiling_dbtp / 20.0), &unit);
            err != 0)
            return err;
        unit.report.limited = !unit.envelope.runs.empty();
        unit.report.raised_db = 20.0 * std::log10(unit.gain / plain);
        uint64_t frames = 0;
        for (size_t t : unit.tracks)
            frames = std::max(frames, m.tracks[t].frames);
        limit_envelope_extent(unit.envelope, frames, &unit.report.reduced_share, &unit.report.deepest_db);
    }
    // The units move in the vector no more: their envelopes can be pointed at.
    for (limit_unit& unit : *units)
        if (unit.report.limited)
            for (size_t t : unit.tracks)
                (*gains)[t] = {unit.gain, &unit.envelope};
    return 0;
}
