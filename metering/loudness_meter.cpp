#include "loudness_meter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <xmmintrin.h>

#include "full_scale.h"
#include "qpm_lanes.h"

namespace {

// libebur128's ring holds 3 s (its short-term window); blocks are taken
// every 100 ms, short-term blocks every 10 of them.
constexpr unsigned long window_ms = 3000;
constexpr size_t gating_steps = 4;
constexpr size_t short_term_steps = 30;
constexpr size_t short_term_every = 10;

// The filter state of two channels side by side, or of one alone.
template <int W>
struct loudness_vec {
    typedef double type __attribute__((vector_size(W * sizeof(double))));
};
template <>
struct loudness_vec<1> {
    typedef double type;
};

template <int W>
inline double lane_get(const typename loudness_vec<W>::type& v, int w)
{
    if constexpr (W == 1)
        return v;
    else
        return v[w];
}

template <int W>
inline void lane_set(typename loudness_vec<W>::type* v, int w, double x)
{
    if constexpr (W == 1)
        *v = x;
    else
        (*v)[w] = x;
}

// The -70 LUFS absolute gate as an energy, computed as libebur128 computes it.
double loudness_absolute_gate()
{
    return std::pow(10.0, (-70.0 + 0.691) / 10.0);
}

double loudness_to_lufs(double energy)
{
    return 10 * (std::log(energy) / std::log(10.0)) - 0.691;
}

// The K-weighting filter's coefficients: a high shelf and a high pass, each a
// biquad, multiplied out into one fourth-order filter, with libebur128's
// operations in its order.
void loudness_make_filter(loudness_meter* lm)
{
    const double rate = static_cast<double>(lm->sample_rate);
    double f0 = 1681.974450955533;
    const double g = 3.999843853973347;
    double q = 0.7071752369554196;
    double k = std::tan(M_PI * f0 / rate);
    const double vh = std::pow(10.0, g / 20.0);
    const double vb = std::pow(vh, 0.4996667741545416);
    double pb[3] = {0.0, 0.0, 0.0};
    double pa[3] = {1.0, 0.0, 0.0};
    const double rb[3] = {1.0, -2.0, 1.0};
    double ra[3] = {1.0, 0.0, 0.0};
    const double a0 = 1.0 + k / q + k * k;
    pb[0] = (vh + vb * k / q + k * k) / a0;
    pb[1] = 2.0 * (k * k - vh) / a0;
    pb[2] = (vh - vb * k / q + k * k) / a0;
    pa[1] = 2.0 * (k * k - 1.0) / a0;
    pa[2] = (1.0 - k / q + k * k) / a0;

    f0 = 38.13547087602444;
    q = 0.5003270373238773;
    k = std::tan(M_PI * f0 / rate);
    ra[1] = 2.0 * (k * k - 1.0) / (1.0 + k / q + k * k);
    ra[2] = (1.0 - k / q + k * k) / (1.0 + k / q + k * k);

    lm->b[0] = pb[0] * rb[0];
    lm->b[1] = pb[0] * rb[1] + pb[1] * rb[0];
    lm->b[2] = pb[0] * rb[2] + pb[1] * rb[1] + pb[2] * rb[0];
    lm->b[3] = pb[1] * rb[2] + pb[2] * rb[1];
    lm->b[4] = pb[2] * rb[2];
    lm->a[0] = pa[0] * ra[0];
    lm->a[1] = pa[0] * ra[1] + pa[1] * ra[0];
    lm->a[2] = pa[0] * ra[2] + pa[1] * ra[1] + pa[2] * ra[0];
    lm->a[3] = pa[1] * ra[2] + pa[2] * ra[1];
    lm->a[4] = pa[2] * ra[2];
}

// libebur128's default channel map: L, R, C, (LFE), Ls, Rs for 6 and more
// channels (further ones unused), L R Ls Rs for 4, L R C Ls Rs for 5. The
// surrounds weigh 1.41.
void loudness_map_channels(loudness_meter* lm)
{
    lm->used.clear();
    lm->weight.clear();
    for (int c = 0; c < lm->channels; ++c) {
        bool surround = false;
        if (lm->channels == 4)
            surround = c >= 2;
        else if (lm->channels == 5)
            surround = c >= 3;
        else if (c == 3 || c >= 6)
            continue;
        else
            surround = c >= 4;
        lm->used.push_back(c);
        lm->weight.push_back(surround ? 1.41 : 1.0);
    }
}

// Adds `terms` terms of a lane's sums (or all it has), moving on to its next
// stretches and chains as they end.
void loudness_lane_take(loudness_meter* lm, loudness_lane* l, size_t terms)
{
    const double* f = lm->filtered.data();
    while (terms > 0 && l->rate > 0) {
        const size_t k = std::min(terms, l->left);
        double acc = l->acc;
        for (size_t j = 0; j < k; ++j)
            acc += f[l->at + j] * f[l->at + j];
        l->acc = acc;
        l->at += k;
        l->left -= k;
        terms -= k;
        if (l->left > 0)
            continue;
        const loudness_segment& done = l->segments[l->next];
        if (done.last) {
            lm->sums[done.chain] = l->acc;
            l->acc = 0;
        }
        if (++l->next == l->segments.size()) {
            l->rate = 0;
            break;
        }
        l->at = l->segments[l->next].at;
        l->left = l->segments[l->next].n;
    }
}

// The lanes as the filter loop carries them: plain locals, so that the
// compiler keeps them in registers.
struct lane_regs {
    size_t at[loudness_lanes];
    size_t rate[loudness_lanes];
    double acc[loudness_lanes];
};

// Filters n frames of the W used channels u0.. into the ring at position pos
// (which does not wrap within them), and adds lr->rate[l] terms to each lane
// per frame when LANES. With QPM, the quasi-peak meters of the same channels
// step on the same samples: a chain of operations as long as the filter's,
// which the processor runs beside it.
template <typename T, int W, bool LANES, bool QPM>
[[gnu::always_inline]] inline void loudness_filter_body(loudness_meter* lm, const T* src, size_t n, size_t u0,
                                                        size_t pos, lane_regs* lr, qpm_lanes4* lanes, double dt)
{
    using V = typename loudness_vec<W>::type;
    constexpr double scale = sample_full_scale<T>();
    const size_t stride = static_cast<size_t>(lm->channels);
    int ch[W];
    double* out[W];
    V v1 = {}, v2 = {}, v3 = {}, v4 = {};
    for (int w = 0; w < W; ++w) {
        const size_t u = u0 + static_cast<size_t>(w);
        ch[w] = lm->used[u];
        out[w] = lm->filtered.data() + u * lm->kept + pos;
        lane_set<W>(&v1, w, lm->state[u * 4 + 0]);
        lane_set<W>(&v2, w, lm->state[u * 4 + 1]);
        lane_set<W>(&v3, w, lm->state[u * 4 + 2]);
        lane_set<W>(&v4, w, lm->state[u * 4 + 3]);
    }
    qpm_lanes4 q[W];
    if constexpr (QPM)
        for (int w = 0; w < W; ++w)
            q[w] = lanes[w];
    const double a1 = lm->a[1], a2 = lm->a[2], a3 = lm->a[3], a4 = lm->a[4];
    const double b0 = lm->b[0], b1 = lm->b[1], b2 = lm->b[2], b3 = lm->b[3], b4 = lm->b[4];
    const double* f = lm->filtered.data();
    lane_regs r = *lr;
    for (size_t i = 0; i < n; ++i) {
        V x;
        for (int w = 0; w < W; ++w)
            lane_set<W>(&x, w, static_cast<double>(src[i * stride + static_cast<size_t>(ch[w])]) / scale);
        // Left to right, as written: each operation rounds where libebur128's does.
        const V v0 = x - a1 * v1 - a2 * v2 - a3 * v3 - a4 * v4;
        V y = b0 * v0 + b1 * v1 + b2 * v2 + b3 * v3 + b4 * v4;
        for (int w = 0; w < W; ++w)
            out[w][i] = lane_get<W>(y, w);
        v4 = v3;
        v3 = v2;
        v2 = v1;
        v1 = v0;
        if constexpr (QPM)
            for (int w = 0; w < W; ++w)
                qpm_lanes4_step(&q[w], qpm_level(src[i * stride + static_cast<size_t>(ch[w])]), dt);
        if constexpr (LANES) {
            // Independent of the filter's chain of operations: the processor
            // runs them while that chain waits on itself.
#pragma GCC unroll 4
            for (int l = 0; l < loudness_lanes; ++l) {
                for (size_t j = 0; j < r.rate[l]; ++j)
                    r.acc[l] += f[r.at[l] + j] * f[r.at[l] + j];
                r.at[l] += r.rate[l];
            }
        }
    }
    *lr = r;
    for (int w = 0; w < W; ++w) {
        const size_t u = u0 + static_cast<size_t>(w);
        lm->state[u * 4 + 0] = lane_get<W>(v1, w);
        lm->state[u * 4 + 1] = lane_get<W>(v2, w);
        lm->state[u * 4 + 2] = lane_get<W>(v3, w);
        lm->state[u * 4 + 3] = lane_get<W>(v4, w);
    }
    if constexpr (QPM)
        for (int w = 0; w < W; ++w)
            lanes[w] = q[w];
}

// The filter pass, out of line: inlined into its caller, the loop's state no
// longer fits the registers and runs half as fast. With quasi-peak meters it
// is built twice, for the baseline processor and for AVX2 (a meter's four
// lanes in one register, and blends), chosen at run time; either gives the
// same bits. The meters come loaded and go back stored by the caller, so that
// the AVX2 build calls nothing and the compiler clears the vector registers'
// upper halves on leaving it: code without AVX after it runs slowly otherwise.
template <typename T, int W, bool LANES>
[[gnu::noinline]] void loudness_filter(loudness_meter* lm, const T* src, size_t n, size_t u0, size_t pos, lane_regs* lr)
{
    loudness_filter_body<T, W, LANES, false>(lm, src, n, u0, pos, lr, nullptr, 0);
}

template <typename T, int W, bool LANES>
[[gnu::noinline]] void loudness_filter_qpm(loudness_meter* lm, const T* src, size_t n, size_t u0, size_t pos,
                                           lane_regs* lr, qpm_lanes4* lanes, double dt)
{
    loudness_filter_body<T, W, LANES, true>(lm, src, n, u0, pos, lr, lanes, dt);
}

template <typename T, int W, bool LANES>
[[gnu::noinline]] __attribute__((target("avx2"))) void loudness_filter_avx2(loudness_meter* lm, const T* src, size_t n,
                                                                            size_t u0, size_t pos, lane_regs* lr,
                                                                            qpm_lanes4* lanes, double dt)
{
    loudness_filter_body<T, W, LANES, true>(lm, src, n, u0, pos, lr, lanes, dt);
}

template <typename T, int W, bool LANES>
void loudness_filter_pick(loudness_meter* lm, const T* src, size_t n, size_t u0, size_t pos, lane_regs* lr,
                          const loudness_qpm* qpm)
{
    if (!qpm) {
        loudness_filter<T, W, LANES>(lm, src, n, u0, pos, lr);
        return;
    }
    qpm_lanes4 lanes[W];
    for (int w = 0; w < W; ++w)
        qpm_lanes4_load(&lanes[w], qpm->meters + 4 * lm->used[u0 + static_cast<size_t>(w)], qpm->dt);
    if (qpm->avx2)
        loudness_filter_avx2<T, W, LANES>(lm, src, n, u0, pos, lr, lanes, qpm->dt);
    else
        loudness_filter_qpm<T, W, LANES>(lm, src, n, u0, pos, lr, lanes, qpm->dt);
    for (int w = 0; w < W; ++w)
        qpm_lanes4_store(lanes[w], qpm->meters + 4 * lm->used[u0 + static_cast<size_t>(w)]);
}

// Filters the used channels u0..u0+W-1 over n frames at ring position pos,
// the lanes riding along when `lanes` is set.
template <typename T, int W>
void loudness_filter_group(loudness_meter* lm, const T* src, size_t n, size_t u0, size_t pos, bool lanes,
                           const loudness_qpm* qpm)
{
    const size_t stride = static_cast<size_t>(lm->channels);
    lane_regs idle = {};
    if (!lanes) {
        loudness_filter_pick<T, W, false>(lm, src, n, u0, pos, &idle, qpm);
        return;
    }
    size_t done = 0;
    while (done < n) {
        // Frames until a lane reaches the end of its stretch.
        size_t run = n - done;
        for (const loudness_lane& l : lm->lanes)
            if (l.rate > 0)
                run = std::min(run, l.left / l.rate);
        if (run == 0) {
            // One frame with the lanes stepping across their ends one by one.
            loudness_filter_pick<T, W, false>(lm, src + done * stride, 1, u0, pos + done, &idle, qpm);
            for (loudness_lane& l : lm->lanes)
                loudness_lane_take(lm, &l, l.rate);
            ++done;
            continue;
        }
        lane_regs r;
        for (int l = 0; l < loudness_lanes; ++l) {
            r.at[l] = lm->lanes[l].at;
            r.rate[l] = lm->lanes[l].rate;
            r.acc[l] = lm->lanes[l].acc;
        }
        loudness_filter_pick<T, W, true>(lm, src + done * stride, run, u0, pos + done, &r, qpm);
        for (int l = 0; l < loudness_lanes; ++l) {
            loudness_lane& lane = lm->lanes[l];
            lane.at = r.at[l];
            lane.acc = r.acc[l];
            lane.left -= run * lane.rate;
        }
        done += run;
    }
}

// Filters n frames that neither cross a scheduling point nor the ring's end.
template <typename T>
void loudness_filter_frames(loudness_meter* lm, const T* src, size_t n, const loudness_qpm* qpm)
{
    const size_t pos = static_cast<size_t>(lm->frames % lm->kept);
    // libebur128 filters with results below DBL_MIN flushed to zero. The sums
    // of squares that ride along see the same flushing, where libebur128's do
    // not: the differences stay below 2^-969 until a term far above them
    // absorbs them (the smallest sample any format holds squares to 2^-298
    // after the filter), and a block so quiet lies far under the -70 LUFS gate.
    const unsigned int mxcsr = _mm_getcsr();
    _mm_setcsr(mxcsr | _MM_FLUSH_ZERO_ON);
    const size_t used = lm->used.size();
    size_t u = 0;
    for (; u + 2 <= used; u += 2)
        loudness_filter_group<T, 2>(lm, src, n, u, pos, u == 0, qpm);
    if (u < used)
        loudness_filter_group<T, 1>(lm, src, n, u, pos, u == 0, qpm);
    _mm_setcsr(mxcsr);
    lm->frames += n;
}

// Appends to `out` the stretch [from, to) of used channel u's filtered
// signal, as pieces of the ring.
void loudness_add_stretch(const loudness_meter& lm, std::vector<loudness_segment>* out, size_t u, uint64_t from,
                          uint64_t to, size_t chain)
{
    while (from < to) {
        const size_t pos = static_cast<size_t>(from % lm.kept);
        const size_t n = static_cast<size_t>(std::min<uint64_t>(to - from, lm.kept - pos));
        out->push_back({u * lm.kept + pos, n, chain, false});
        from += n;
    }
}

// The order in which libebur128 sums the `len` frames that end at `end`: from
// the last multiple of its window on first, then the part before, when the
// frames straddle one; else oldest first. Frames before the first are silence
// and add nothing.
void loudness_add_chain(const loudness_meter& lm, std::vector<loudness_segment>* out, size_t u, uint64_t end,
                        size_t len, size_t chain)
{
    const uint64_t start = end >= len ? end - len : 0;
    const uint64_t wrap = end % lm.window;
    const size_t first = out->size();
    if (wrap != 0 && wrap < len) {
        loudness_add_stretch(lm, out, u, end - wrap, end, chain);
        loudness_add_stretch(lm, out, u, start, std::max(start, end - wrap), chain);
    } else {
        loudness_add_stretch(lm, out, u, start, end, chain);
    }
    if (out->size() == first)
        out->push_back({0, 0, chain, false});
    out->back().last = true;
}

// Sums every lane has still to add, one lane after the other.
void loudness_drain(loudness_meter* lm)
{
    for (loudness_lane& l : lm->lanes)
        while (l.rate > 0)
            loudness_lane_take(lm, &l, SIZE_MAX);
}

// The energy of a block from its channels' sums: weighted, added channel after
// channel, divided by its length.
double loudness_block_energy(const loudness_meter& lm, const double* sums, size_t len)
{
    double sum = 0.0;
    for (size_t u = 0; u < lm.used.size(); ++u) {
        double channel_sum = sums[u];
        if (lm.weight[u] != 1.0)
            channel_sum *= lm.weight[u];
        sum += channel_sum;
    }
    return sum / static_cast<double>(len);
}

// Completes the sums under way and files the blocks they belong to; then
// schedules the blocks that the frames so far have ended, spread over the
// lanes so that they finish within the next `frames_ahead` frames.
void loudness_schedule(loudness_meter* lm, size_t frames_ahead)
{
    loudness_drain(lm);
    const double gate = loudness_absolute_gate();
    for (const loudness_block& b : lm->blocks) {
        const size_t len = (b.short_term ? short_term_steps : gating_steps) * lm->step;
        const double energy = loudness_block_energy(*lm, lm->sums.data() + b.first_chain, len);
        if (energy >= gate) {
            if (!b.short_term) {
                loudness_energies_push(&lm->gating, energy);
                continue;
            }
            // A tenth as many: grown by a sixteenth, not doubled, they leave
            // little room spare.
            std::vector<double>& v = lm->short_term;
            if (v.size() == v.capacity())
                v.reserve(v.capacity() + v.capacity() / 16 + 1024);
            v.push_back(energy);
        }
    }
    lm->blocks.clear();
    lm->sums.clear();

    // The chains of the new blocks: one per used channel of each.
    struct chain_plan {
        size_t terms;
        std::vector<loudness_segment> segments;
    };
    std::vector<chain_plan> plans;
    auto plan_block = [&](bool short_term, uint64_t end) {
        const size_t len = (short_term ? short_term_steps : gating_steps) * lm->step;
        lm->blocks.push_back({short_term, lm->sums.size()});
        for (size_t u = 0; u < lm->used.size(); ++u) {
            chain_plan p{len, {}};
            loudness_add_chain(*lm, &p.segments, u, end, len, lm->sums.size());
            lm->sums.push_back(0.0);
            plans.push_back(std::move(p));
        }
    };
    // Blocks in the order libebur128 files them: a short-term block after the
    // gating block that ends with it.
    while (lm->next_gating_end <= lm->frames || lm->next_short_end <= lm->frames) {
        if (lm->next_gating_end <= lm->next_short_end) {
            plan_block(false, lm->next_gating_end);
            lm->next_gating_end += lm->step;
        } else {
            // libebur128 refuses a short-term block longer than its ring
            // (rates below 146 Hz) and files none.
            if (short_term_steps * lm->step <= lm->window)
                plan_block(true, lm->next_short_end);
            lm->next_short_end += short_term_every * lm->step;
        }
    }

    // Longest first, each onto the lane with the fewest terms so far.
    std::stable_sort(plans.begin(), plans.end(),
                     [](const chain_plan& x, const chain_plan& y) { return x.terms > y.terms; });
    size_t load[loudness_lanes] = {};
    for (loudness_lane& l : lm->lanes) {
        l.segments.clear();
        l.next = 0;
        l.acc = 0;
        l.rate = 0;
    }
    for (chain_plan& p : plans) {
        const size_t l = static_cast<size_t>(std::min_element(load, load + loudness_lanes) - load);
        load[l] += p.terms;
        auto& segs = lm->lanes[l].segments;
        segs.insert(segs.end(), p.segments.begin(), p.segments.end());
    }
    for (int i = 0; i < loudness_lanes; ++i) {
        loudness_lane& l = lm->lanes[i];
        if (l.segments.empty())
            continue;
        l.at = l.segments[0].at;
        l.left = l.segments[0].n;
        l.rate = std::max<size_t>(1, (load[i] + frames_ahead - 1) / std::max<size_t>(frames_ahead, 1));
    }
}

template <typename T>
void loudness_add(loudness_meter* lm, const T* src, size_t frames, const loudness_qpm* qpm)
{
    // The meters ride along only where every channel is filtered.
    if (qpm && !loudness_meter_uses_all(*lm))
        qpm = nullptr;
    const size_t stride = static_cast<size_t>(lm->channels);
    while (frames > 0) {
        // Up to the next scheduling point and the ring's end.
        const size_t to_batch = lm->batch - static_cast<size_t>(lm->frames % lm->batch);
        const size_t to_ring = lm->kept - static_cast<size_t>(lm->frames % lm->kept);
        const size_t n = std::min({frames, to_batch, to_ring});
        loudness_filter_frames(lm, src, n, qpm);
        src += n * stride;
        frames -= n;
        if (lm->frames % lm->batch == 0)
            loudness_schedule(lm, lm->batch);
    }
}

}  // namespace

int loudness_meter_init(loudness_meter* lm, int channels, int sample_rate)
{
    if (channels <= 0 || channels > 64 || sample_rate < 16 || sample_rate > 2822400)
        return -22;
    *lm = loudness_meter{};
    lm->channels = channels;
    lm->sample_rate = static_cast<unsigned long>(sample_rate);
    lm->step = (lm->sample_rate + 5) / 10;
    size_t window = lm->sample_rate * window_ms / 1000;
    if (window % lm->step)
        window = window + lm->step - window % lm->step;
    lm->window = window;
    // Enough for a short-term block scheduled at its end and summed during
    // the next second, and for any window reading.
    lm->batch = short_term_every * lm->step;
    lm->kept = std::max(window, short_term_steps * lm->step) + lm->batch;
    loudness_map_channels(lm);
    loudness_make_filter(lm);
    lm->state.assign(lm->used.size() * 4, 0.0);
    lm->filtered.assign(lm->used.size() * lm->kept, 0.0);
    lm->next_gating_end = gating_steps * lm->step;
    lm->next_short_end = short_term_steps * lm->step;
    return 0;
}

void loudness_meter_add_s16(loudness_meter* lm, const int16_t* src, size_t frames, const loudness_qpm* qpm)
{
    loudness_add(lm, src, frames, qpm);
}

void loudness_meter_add_s32(loudness_meter* lm, const int32_t* src, size_t frames, const loudness_qpm* qpm)
{
    loudness_add(lm, src, frames, qpm);
}

void loudness_meter_add_float(loudness_meter* lm, const float* src, size_t frames, const loudness_qpm* qpm)
{
    loudness_add(lm, src, frames, qpm);
}

void loudness_meter_flush(loudness_meter* lm)
{
    loudness_schedule(lm, 1);
    loudness_schedule(lm, 1);
}

void loudness_energies_push(loudness_energies* e, double energy)
{
    if (e->count == e->chunks.size() * loudness_energies::chunk)
        e->chunks.push_back(std::make_unique_for_overwrite<double[]>(loudness_energies::chunk));
    e->chunks.back()[e->count % loudness_energies::chunk] = energy;
    ++e->count;
}

double loudness_meter_integrated(const loudness_meter& lm)
{
    const size_t n = lm.gating.count;
    if (n == 0)
        return -HUGE_VAL;
    double relative = 0.0;
    for (size_t i = 0; i < n; ++i)
        relative += loudness_energies_at(lm.gating, i);
    relative /= static_cast<double>(n);
    relative *= std::pow(10.0, -10.0 / 10.0);
    double gated = 0.0;
    size_t above = 0;
    for (size_t i = 0; i < n; ++i)
        if (const double z = loudness_energies_at(lm.gating, i); z >= relative) {
            ++above;
            gated += z;
        }
    if (above == 0)
        return -HUGE_VAL;
    gated /= static_cast<double>(above);
    return loudness_to_lufs(gated);
}

double loudness_meter_range(const loudness_meter& lm)
{
    if (lm.short_term.empty())
        return 0.0;
    std::vector<double> v = lm.short_term;
    std::sort(v.begin(), v.end());
    double power = 0.0;
    for (double z : v)
        power += z;
    power /= static_cast<double>(v.size());
    const double integrated = std::pow(10.0, -20.0 / 10.0) * power;
    const auto first = std::find_if(v.begin(), v.end(), [&](double z) { return !(z < integrated); });
    const size_t n = static_cast<size_t>(v.end() - first);
    if (n == 0)
        return 0.0;
    const double high = first[static_cast<size_t>(static_cast<double>(n - 1) * 0.95 + 0.5)];
    const double low = first[static_cast<size_t>(static_cast<double>(n - 1) * 0.1 + 0.5)];
    return loudness_to_lufs(high) - loudness_to_lufs(low);
}

int loudness_meter_window(const loudness_meter& lm, size_t frames, double* out)
{
    if (frames > lm.window)
        return -22;
    // The same chains the blocks use, summed here at once.
    std::vector<loudness_segment> segs;
    std::vector<double> sums(lm.used.size(), 0.0);
    for (size_t u = 0; u < lm.used.size(); ++u) {
        segs.clear();
        loudness_add_chain(lm, &segs, u, lm.frames, frames, u);
        double acc = 0.0;
        for (const loudness_segment& s : segs)
            for (size_t j = 0; j < s.n; ++j)
                acc += lm.filtered[s.at + j] * lm.filtered[s.at + j];
        sums[u] = acc;
    }
    const double energy = loudness_block_energy(lm, sums.data(), frames);
    *out = energy <= 0.0 ? -HUGE_VAL : loudness_to_lufs(energy);
    return 0;
}

bool loudness_meter_uses_all(const loudness_meter& lm)
{
    return lm.used.size() == static_cast<size_t>(lm.channels);
}
