#include "limiter.h"

#include <algorithm>
#include <cmath>

namespace {

float limiter_linear(double db)
{
    return static_cast<float>(std::pow(10.0, db / 20.0));
}

// Computes the sliding minimum a_m of the blocks' gains over [m - 1, m + L + 1]
// (L the look-ahead; blocks outside the signal are at full gain), averages it
// over [k - L, k] for the envelope of block k = m, lets the release hold it
// back, and makes the knot between each block and the next. Runs while the
// blocks it needs have been pushed, or all of them once the limiter is
// finished.
void limiter_advance(limiter* l)
{
    const int64_t la = static_cast<int64_t>(l->lookahead);
    const int64_t pushed = static_cast<int64_t>(l->pushed);
    for (;;) {
        // The next minimum to compute, a_m: the window holds the minima of
        // the blocks before it back to m - L, and the envelope has been made
        // up to block smoothed = m - L + (what the window holds, less L).
        const int64_t m = static_cast<int64_t>(l->smoothed) - la + static_cast<int64_t>(l->window.size());
        if (m >= pushed && l->finished)
            break;
        if (!l->finished && m + la + 1 >= pushed)
            break;
        while (!l->minima.empty() && static_cast<int64_t>(l->minima.front().first) < m - 1)
            l->minima.pop_front();
        double a = 0;
        if (!l->minima.empty() && static_cast<int64_t>(l->minima.front().first) <= m + la + 1)
            a = std::min(0.0, l->minima.front().second);
        l->window.push_back(a);
        l->window_sum += a;
        if (static_cast<int64_t>(l->window.size()) < la + 1)
            continue;  // the averages before the first block
        const int64_t k = m;
        const double b = l->window_sum / static_cast<double>(la + 1);
        l->window_sum -= l->window.front();
        l->window.pop_front();
        // The release: back toward full gain, more slowly the longer the
        // peaks have been asking for a reduction of 1 dB or more lately. The
        // measure of that moves smoothly with the signal and its gain, so
        // that a slightly higher gain limits slightly more, never otherwise.
        l->reduced_ms = l->reduced_ms * std::exp(-l->block_ms / limiter_activity_memory_ms) +
            l->block_ms * std::clamp(-b, 0.0, 1.0);
        const double grown = std::min(1.0, l->reduced_ms / limiter_release_grow_ms);
        const double release_ms =
            limiter_release_short_ms + (limiter_release_long_ms - limiter_release_short_ms) * grown;
        double released = k == 0 ? 0.0 : l->envelope * std::exp(-l->block_ms / release_ms);
        // The release ends: a last step of at most this is not heard, and
        // the stretches at full gain stay exactly at full gain.
        if (released > -limiter_release_floor_db)
            released = 0;
        const double env = std::min(b, released);
        if (k > 0)
            l->ready.push_back(limiter_linear(std::min(l->envelope, env)));
        l->envelope = env;
        ++l->smoothed;
    }
}

}  // namespace

void limiter_init(limiter* l, int sample_rate, double threshold)
{
    *l = limiter{};
    l->threshold = threshold;
    l->block_ms = 1000.0 * static_cast<double>(limiter_block_frames) / sample_rate;
    l->lookahead = std::max<size_t>(1, static_cast<size_t>(std::lround(limiter_lookahead_ms / l->block_ms)));
}

void limiter_push(limiter* l, double peak)
{
    const double r = peak > l->threshold ? 20.0 * std::log10(l->threshold / peak) : 0.0;
    while (!l->minima.empty() && l->minima.back().second >= r)
        l->minima.pop_back();
    l->minima.emplace_back(l->pushed, r);
    ++l->pushed;
    limiter_advance(l);
}

void limiter_finish(limiter* l)
{
    if (l->finished)
        return;
    l->finished = true;
    limiter_advance(l);
    // The last block's end: nothing follows it.
    if (l->pushed > 0)
        l->ready.push_back(limiter_linear(l->envelope));
}

void limiter_take(limiter* l, std::vector<float>* out)
{
    out->insert(out->end(), l->ready.begin(), l->ready.end());
    l->ready.clear();
}

void limiter_envelope_append(limiter_envelope* env, uint64_t first, const std::vector<float>& knots)
{
    for (size_t i = 0; i < knots.size(); ++i) {
        if (knots[i] >= 1.0f)
            continue;
        const uint64_t k = first + i;
        auto& runs = env->runs;
        if (runs.empty() || runs.back().first + runs.back().second.size() != k)
            runs.emplace_back(k, std::vector<float>());
        runs.back().second.push_back(knots[i]);
    }
}

float limiter_envelope_knot(const limiter_envelope& env, uint64_t k)
{
    // The last run that starts at or before k.
    auto it = std::upper_bound(env.runs.begin(), env.runs.end(), k,
                               [](uint64_t key, const auto& run) { return key < run.first; });
    if (it == env.runs.begin())
        return 1.0f;
    --it;
    const uint64_t at = k - it->first;
    return at < it->second.size() ? it->second[at] : 1.0f;
}

void limiter_envelope_gains(const limiter_envelope& env, uint64_t first_frame, size_t frames, double* out)
{
    uint64_t block = first_frame / limiter_block_frames;
    size_t i = static_cast<size_t>(first_frame % limiter_block_frames);
    float start = limiter_envelope_knot(env, block == 0 ? 0 : block - 1);
    float end = limiter_envelope_knot(env, block);
    for (size_t f = 0; f < frames; ++f) {
        out[f] = start == 1.0f && end == 1.0f ? 1.0 : limiter_gain_at(start, end, i);
        if (++i == limiter_block_frames) {
            i = 0;
            ++block;
            start = end;
            end = limiter_envelope_knot(env, block);
        }
    }
}
