#include "track_meter.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <type_traits>

#include "byte_buffer.h"
#include "qpm_lanes.h"

namespace {

constexpr int meter_types[4] = {0, 5, 10, 200};
// Samples of a track are handed to the threads in blocks of about this size:
// large blocks keep the threads' overhead low, and the blocks of all tracks
// together stay within a few MiB.
constexpr size_t max_block_bytes = 512 << 10;
constexpr size_t min_block_bytes = 128 << 10;
constexpr size_t all_blocks_bytes = 2 << 20;
// Blocks waiting for the threads, at most: bounds memory whatever the input length.
constexpr size_t queue_limit_bytes = 6 << 20;
// Buffers kept for reuse, at most: about what the queue holds.
constexpr size_t max_spare_blocks = 16;

enum work_kind { WORK_LOUDNESS, WORK_PEAKS, WORK_QPM };

// One piece of work: always done by the same thread, on every block of its track.
struct work_item {
    size_t track;
    work_kind kind;
    int channel;
};

struct sample_block {
    size_t track = 0;
    size_t frames = 0;
    byte_buffer data;
};

// Per-thread buffers for the quasi-peak meters.
struct channel_scratch {
    std::vector<double> levels;  // interleaved as the samples
    std::vector<qpm_meter*> meters;
};

template <typename T>
void add_frames(loudness_meter* lm, const T* data, size_t frames, const loudness_qpm* qpm)
{
    if constexpr (std::is_same_v<T, int16_t>)
        loudness_meter_add_s16(lm, data, frames, qpm);
    else if constexpr (std::is_same_v<T, int32_t>)
        loudness_meter_add_s32(lm, data, frames, qpm);
    else
        loudness_meter_add_float(lm, data, frames, qpm);
}

// The quasi-peak meters can step in the loudness filter's pass when it sees
// every channel.
bool qpm_can_ride(const track_meter& tm)
{
    return !tm.qpm.empty() && tm.loudness && loudness_meter_uses_all(*tm.loudness);
}

// Every quasi-peak meter of the track, four per channel, into scratch.
void gather_qpm(const track_meter& tm, std::vector<qpm_meter*>* meters)
{
    meters->clear();
    for (const auto& four : tm.qpm)
        for (const qpm_ptr& m : four)
            meters->push_back(m.get());
}

// Makes room for one more reading. Vectors that doubled would hold up to
// twice the readings' bytes: growing by a sixteenth keeps the room spare
// within 1/16 of them, for a copy of a few bytes per reading now and then.
void series_grow(std::vector<float>* v, size_t size)
{
    if (size > v->capacity())
        v->reserve(std::max(size, v->capacity() + v->capacity() / 16 + 1024));
}

// Frames of the next piece of a series' audio: up to the track's next
// 100 ms mark.
size_t series_piece(const track_series& s, uint64_t frames_so_far, size_t frames)
{
    const uint64_t next = track_series_mark(s, track_series_marks_within(s, frames_so_far) + 1);
    return static_cast<size_t>(std::min<uint64_t>(frames, next - frames_so_far));
}

// The number k of the reading whose mark lies right after `end` frames (its
// entry is k - 1), or 0 when they end between two marks.
uint64_t series_reading_at(const track_series& s, uint64_t end)
{
    const uint64_t k = track_series_marks_within(s, end);
    return k > 0 && track_series_mark(s, k) == end ? k : 0;
}

// Takes the true peak of a piece of channel c that ended after `end` frames;
// at a mark the channel's largest since the mark before raises the track's
// entry.
void series_note_peak(track_series& s, size_t c, uint64_t end, double peak)
{
    s.peak_pending[c] = std::max(s.peak_pending[c], peak);
    const uint64_t k = series_reading_at(s, end);
    if (k == 0)
        return;
    const size_t i = static_cast<size_t>(k - 1);
    const float v = static_cast<float>(s.peak_pending[c]);
    s.peak_pending[c] = 0;
    std::lock_guard lock(s.peak_lock);
    if (s.true_peak.size() <= i) {
        series_grow(&s.true_peak, i + 1);
        s.true_peak.resize(i + 1, 0.0f);
    }
    s.true_peak[i] = std::max(s.true_peak[i], v);
}

// The loudness meter's conversion of a mean square to LUFS.
double series_loudness(double energy)
{
    return energy <= 0.0 ? -HUGE_VAL : 10 * (std::log(energy) / std::log(10.0)) - 0.691;
}

// The momentary and short-term loudness at a 100 ms boundary from the energy
// of the 100 ms just ended and those before it. Blocks before the first
// count as silence, as the library's zeroed window does.
void series_block_readings(const loudness_meter& lm, track_series* s, double* momentary, double* short_term)
{
    double block = 0;
    loudness_meter_window(lm, lm.sample_rate * 100 / 1000, &block);
    const size_t n = s->momentary.size();
    s->block_energy[n % 30] = std::isinf(block) ? 0.0 : std::pow(10.0, (block + 0.691) / 10);
    // Oldest first: (n + 1) % 30 is the block 3 s ago, n % 30 the newest.
    double sum = 0;
    for (size_t k = 0; k < 30; ++k)
        sum += s->block_energy[(n + 1 + k) % 30];
    double recent = 0;
    for (size_t k = 26; k < 30; ++k)
        recent += s->block_energy[(n + 1 + k) % 30];
    *momentary = series_loudness(recent / 4);
    *short_term = series_loudness(sum / 30);
}

// Feeds the loudness state in pieces that end on the track's 100 ms marks
// and reads the momentary and short-term loudness at each. The library steps
// its own blocks on its own boundaries, from the first frame, whatever pieces
// it is fed in, so the pieces change none of its figures.
template <typename T>
void add_loudness_series(track_meter& tm, const T* data, size_t frames, const loudness_qpm* qpm)
{
    track_series& s = *tm.series;
    while (frames > 0) {
        const size_t n = series_piece(s, s.loudness_frames, frames);
        add_frames(tm.loudness.get(), data, n, qpm);
        data += n * static_cast<size_t>(tm.channels);
        frames -= n;
        s.loudness_frames += n;
        if (series_reading_at(s, s.loudness_frames) != 0) {
            double m = 0, st = 0;
            if (s.from_blocks) {
                series_block_readings(*tm.loudness, &s, &m, &st);
            } else {
                loudness_meter_window(*tm.loudness, s.momentary_frames, &m);
                loudness_meter_window(*tm.loudness, s.short_term_frames, &st);
            }
            series_grow(&s.momentary, s.momentary.size() + 1);
            series_grow(&s.short_term, s.short_term.size() + 1);
            s.momentary.push_back(static_cast<float>(m));
            s.short_term.push_back(static_cast<float>(st));
        }
    }
}

template <typename T>
void add_true_peak(true_peak_meter* tp, const T* src, size_t frames, size_t stride)
{
    if constexpr (std::is_same_v<T, int16_t>)
        true_peak_add_s16(tp, src, frames, stride);
    else if constexpr (std::is_same_v<T, int32_t>)
        true_peak_add_s32(tp, src, frames, stride);
    else
        true_peak_add_float(tp, src, frames, stride);
}

// Feeds channel c's true-peak meter in pieces that end on the track's 100 ms
// marks and notes the peak of each.
template <typename T>
void add_peaks_series(track_meter& tm, size_t c, const T* src, size_t frames, size_t stride)
{
    track_series& s = *tm.series;
    true_peak_meter& tp = tm.peaks[c];
    while (frames > 0) {
        const size_t n = series_piece(s, s.peak_frames[c], frames);
        const true_peak_maxima kept = true_peak_take_maxima(&tp);
        add_true_peak(&tp, src, n, stride);
        const double peak = true_peak_true_peak(tp);
        true_peak_put_back_maxima(&tp, kept);
        src += n * stride;
        frames -= n;
        s.peak_frames[c] += n;
        series_note_peak(s, c, s.peak_frames[c], peak);
    }
}

template <typename T>
void run_item(track_meter& tm, const work_item& w, const sample_block& b, channel_scratch& scratch)
{
    const T* data = reinterpret_cast<const T*>(b.data.data());
    const size_t k = static_cast<size_t>(tm.channels);
    const size_t c = static_cast<size_t>(w.channel);
    switch (w.kind) {
    case WORK_LOUDNESS: {
        loudness_qpm riders;
        const loudness_qpm* qpm = nullptr;
        if (tm.qpm_in_loudness) {
            gather_qpm(tm, &scratch.meters);
            riders = {scratch.meters.data(), 1.0 / tm.sample_rate, __builtin_cpu_supports("avx2") != 0};
            qpm = &riders;
        }
        if (tm.series)
            add_loudness_series(tm, data, b.frames, qpm);
        else
            add_frames(tm.loudness.get(), data, b.frames, qpm);
        break;
    }
    case WORK_PEAKS:
        if (tm.series)
            add_peaks_series(tm, c, data + c, b.frames, k);
        else
            add_true_peak(&tm.peaks[c], data + c, b.frames, k);
        break;
    case WORK_QPM: {
        // All channels in one pass: their meters' steps overlap in the processor.
        scratch.levels.resize(b.frames * k);
        for (size_t s = 0; s < b.frames * k; ++s)
            scratch.levels[s] = qpm_level(data[s]);
        gather_qpm(tm, &scratch.meters);
        qpm_process_frames(scratch.meters.data(), k, scratch.levels.data(), b.frames, 1.0 / tm.sample_rate);
        break;
    }
    }
}

void run_work(std::vector<track_meter>& tracks, const work_item& w, const sample_block& b, channel_scratch& scratch)
{
    track_meter& tm = tracks[b.track];
    switch (tm.format) {
    case TRACK_S16: run_item<int16_t>(tm, w, b, scratch); break;
    case TRACK_S32: run_item<int32_t>(tm, w, b, scratch); break;
    case TRACK_FLOAT: run_item<float>(tm, w, b, scratch); break;
    }
}

// An item with the blocks it has still to see, in order. It is worked on by at
// most one thread at a time, whichever is free.
struct item_queue {
    work_item item;
    std::deque<std::shared_ptr<sample_block>> blocks;
    bool busy = false;
};

}  // namespace

struct meter_pool {
    std::vector<track_meter>* tracks = nullptr;
    std::vector<sample_block> pending;             // per track, being filled by the caller
    std::vector<item_queue> items;                 // every item of every track
    std::vector<std::vector<size_t>> track_items;  // per track: its entries in items
    channel_scratch inline_scratch;                // for the caller's thread when it works alone
    std::vector<std::thread> threads;
    std::mutex mutex;
    std::condition_variable work_ready;
    std::condition_variable room;
    size_t block_bytes = max_block_bytes;
    size_t queued_bytes = 0;  // block bytes waiting, once per item that waits for them
    // Buffers of blocks every item is done with, for new blocks: pages that
    // are already mapped, where fresh ones would fault in one by one.
    std::vector<byte_buffer> spare;
    size_t next_item = 0;  // where the search for work starts, so that items take turns
    bool stopping = false;
    bool finished = false;
};

namespace {

// Takes the next item that has a block waiting and no thread on it.
item_queue* meter_pool_take(meter_pool* pool)
{
    const size_t n = pool->items.size();
    for (size_t i = 0; i < n; ++i) {
        item_queue& q = pool->items[(pool->next_item + i) % n];
        if (!q.busy && !q.blocks.empty()) {
            pool->next_item = (pool->next_item + i + 1) % n;
            q.busy = true;
            return &q;
        }
    }
    return nullptr;
}

void meter_worker_run(meter_pool* pool)
{
    channel_scratch scratch;
    std::unique_lock lock(pool->mutex);
    for (;;) {
        // Work on any waiting item; when stopping, leave once nothing waits.
        item_queue* q = nullptr;
        pool->work_ready.wait(lock, [&] {
            q = meter_pool_take(pool);
            return q || (pool->stopping && std::all_of(pool->items.begin(), pool->items.end(), [](const item_queue& i) {
                             return i.blocks.empty();
                         }));
        });
        if (!q)
            return;
        std::shared_ptr<sample_block> block = std::move(q->blocks.front());
        q->blocks.pop_front();
        lock.unlock();
        run_work(*pool->tracks, q->item, *block, scratch);
        lock.lock();
        q->busy = false;
        pool->queued_bytes -= block->data.size();
        // Copies are made only under the lock, when the block is queued, and
        // the count falls from there: one left, this one, means every item
        // and the thread that queued it are done with it.
        if (block.use_count() == 1 && pool->spare.size() < max_spare_blocks) {
            block->data.clear();
            pool->spare.push_back(std::move(block->data));
        }
        pool->room.notify_one();
        pool->work_ready.notify_all();
    }
}

// The float samples that are NaN or infinite: those whose exponent bits are
// all ones.
constexpr uint32_t float_exponent = 0x7f800000u;

bool float_bits_non_finite(const uint8_t* sample)
{
    uint32_t bits;
    std::memcpy(&bits, sample, 4);
    return (bits & float_exponent) == float_exponent;
}

// Counts them four at a time in one vector register, in a fifteenth of the
// time of the plain loop, which the compiler leaves scalar.
uint64_t count_non_finite(const uint8_t* data, size_t samples)
{
    typedef uint32_t u32x4 __attribute__((vector_size(16)));
    typedef int32_t i32x4 __attribute__((vector_size(16)));
    uint64_t n = 0;
    size_t i = 0;
    while (samples - i >= 4) {
        // At most 2^28 counts a lane before they are added up.
        const size_t end = i + std::min<size_t>((samples - i) / 4 * 4, size_t(1) << 30);
        i32x4 lanes = {};
        for (; i < end; i += 4) {
            u32x4 v;
            std::memcpy(&v, data + 4 * i, sizeof v);
            lanes -= (v & float_exponent) == float_exponent;
        }
        for (int k = 0; k < 4; ++k)
            n += static_cast<uint32_t>(lanes[k]);
    }
    for (; i < samples; ++i)
        n += float_bits_non_finite(data + 4 * i);
    return n;
}

// Makes the float samples that are NaN or infinite 0, digital silence, and
// returns how many there were. A NaN would stay in the loudness filter's
// state for good and make every later reading NaN; an infinity would be every
// peak and meter's maximum. Finite samples cost the count alone.
uint64_t zero_non_finite(uint8_t* data, size_t samples)
{
    const uint64_t n = count_non_finite(data, samples);
    if (n > 0)
        for (size_t i = 0; i < samples; ++i)
            if (float_bits_non_finite(data + 4 * i))
                std::memset(data + 4 * i, 0, 4);
    return n;
}

void meter_pool_flush(meter_pool* pool, size_t t)
{
    sample_block& pending = pool->pending[t];
    if (pending.frames == 0)
        return;
    // Here in the caller's thread, once per block, before any item reads it.
    track_meter& tm = (*pool->tracks)[t];
    if (tm.format == TRACK_FLOAT && tm.silence_non_finite)
        tm.non_finite += zero_non_finite(pending.data.data(), pending.frames * static_cast<size_t>(tm.channels));
    if (pool->threads.empty()) {
        for (size_t i : pool->track_items[t])
            run_work(*pool->tracks, pool->items[i].item, pending, pool->inline_scratch);
        pending.frames = 0;
        pending.data.clear();
        return;
    }
    auto block = std::make_shared<sample_block>(std::move(pending));
    pending = sample_block{t, 0, {}};
    {
        std::unique_lock lock(pool->mutex);
        pool->room.wait(lock, [&] { return pool->queued_bytes <= queue_limit_bytes; });
        for (size_t i : pool->track_items[t]) {
            pool->items[i].blocks.push_back(block);
            pool->queued_bytes += block->data.size();
        }
    }
    pool->work_ready.notify_all();
}

}  // namespace

size_t track_sample_bytes(track_sample_format format)
{
    return format == TRACK_S16 ? 2 : 4;
}

int track_meter_init(track_meter* tm, int channels, int sample_rate, track_sample_format format)
{
    if (channels <= 0 || sample_rate <= 0)
        return -22;
    const unsigned k = static_cast<unsigned>(channels);
    // The loudness is measured over all channels together, each channel's
    // peaks apart.
    auto loudness = std::make_unique<loudness_meter>();
    if (loudness_meter_init(loudness.get(), channels, sample_rate) != 0)
        return -22;
    std::vector<true_peak_meter> peaks(k);
    for (true_peak_meter& p : peaks)
        if (true_peak_init(&p, sample_rate) != 0)
            return -22;
    tm->channels = channels;
    tm->sample_rate = sample_rate;
    tm->format = format;
    tm->loudness = std::move(loudness);
    tm->peaks = std::move(peaks);
    tm->qpm.resize(k);
    for (auto& meters : tm->qpm)
        for (size_t i = 0; i < 4; ++i) {
            qpm_meter* m = nullptr;
            qpm_create(&m, meter_types[i]);
            meters[i].reset(m);
        }
    return 0;
}

int track_meter_init_loudness(track_meter* tm, int channels, int sample_rate, track_sample_format format)
{
    if (channels <= 0 || sample_rate <= 0)
        return -22;
    auto loudness = std::make_unique<loudness_meter>();
    if (loudness_meter_init(loudness.get(), channels, sample_rate) != 0)
        return -22;
    tm->channels = channels;
    tm->sample_rate = sample_rate;
    tm->format = format;
    tm->loudness = std::move(loudness);
    tm->peaks.clear();
    tm->qpm.clear();
    return 0;
}

int track_meter_keep_series(track_meter* tm)
{
    auto s = std::make_unique<track_series>();
    const uint64_t rate = static_cast<uint64_t>(tm->sample_rate);
    s->rate = rate;
    // The frames libebur128's window readings of 400 ms and 3 s count.
    s->momentary_frames = static_cast<size_t>(rate * 400 / 1000);
    s->short_term_frames = static_cast<size_t>(rate * 3);
    s->peak_frames.assign(static_cast<size_t>(tm->channels), 0);
    s->peak_pending.assign(static_cast<size_t>(tm->channels), 0.0);
    // Then the marks are every rate / 10 frames, the loudness meter's step.
    s->from_blocks = rate % 10 == 0;
    tm->series = std::move(s);
    return 0;
}

uint64_t track_series_mark(const track_series& s, uint64_t k)
{
    return (k * s.rate + 5) / 10;
}

uint64_t track_series_marks_within(const track_series& s, uint64_t frames)
{
    // The largest k with (k × rate + 5) / 10 <= frames, that is with
    // k × rate < 10 × frames + 5.
    return (10 * frames + 4) / s.rate;
}

track_figures track_meter_figures(const track_meter& tm)
{
    track_figures f;
    f.loudness = loudness_meter_integrated(*tm.loudness);
    f.lra = loudness_meter_range(*tm.loudness);
    f.channels.resize(tm.qpm.size());
    for (size_t c = 0; c < f.channels.size(); ++c) {
        channel_figures& ch = f.channels[c];
        ch.sample_peak = true_peak_sample_peak(tm.peaks[c]);
        ch.true_peak = true_peak_true_peak(tm.peaks[c]);
        for (size_t i = 0; i < 4; ++i)
            qpm_get_max_db(tm.qpm[c][i].get(), &ch.qpm_db[i], 1.0);
    }
    return f;
}

int meter_pool_create(meter_pool** out, std::vector<track_meter>* tracks, unsigned threads)
{
    auto pool = std::make_unique<meter_pool>();
    pool->tracks = tracks;
    const size_t n = tracks->size();
    pool->pending.resize(n);
    for (size_t t = 0; t < n; ++t)
        pool->pending[t].track = t;

    pool->block_bytes = std::clamp(all_blocks_bytes / std::max<size_t>(n, 1), min_block_bytes, max_block_bytes);
    if (threads == 0)
        threads = std::max(1u, std::thread::hardware_concurrency());
    // The quasi-peak meters step in the loudness item's pass, which costs
    // less processor time than a pass of their own, when there are enough
    // such tracks to keep every thread busy; with fewer, the two passes of a
    // track run side by side on two threads, which ends sooner.
    const size_t riders = static_cast<size_t>(std::count_if(tracks->begin(), tracks->end(), qpm_can_ride));
    for (track_meter& tm : *tracks)
        tm.qpm_in_loudness = qpm_can_ride(tm) && riders >= threads;
    pool->track_items.resize(n);
    for (size_t t = 0; t < n; ++t) {
        auto add = [&](work_kind kind, int c) {
            pool->track_items[t].push_back(pool->items.size());
            pool->items.push_back({{t, kind, c}, {}, false});
        };
        add(WORK_LOUDNESS, 0);
        const track_meter& tm = (*tracks)[t];
        for (size_t c = 0; c < tm.peaks.size(); ++c)
            add(WORK_PEAKS, static_cast<int>(c));
        // A programme's meter has the loudness alone: its peaks and meters
        // are its tracks'.
        if (!tm.qpm.empty() && !tm.qpm_in_loudness)
            add(WORK_QPM, 0);
    }
    threads = static_cast<unsigned>(std::min<size_t>(threads, pool->items.size()));
    // With one thread the caller's does the work as it appends. A thread that
    // cannot be started (a process limit) leaves the work to those that did,
    // or to the caller's alone: the figures are the same either way.
    if (threads > 1)
        for (unsigned i = 0; i < threads; ++i) {
            try {
                pool->threads.emplace_back(meter_worker_run, pool.get());
            } catch (const std::system_error&) {
                break;
            }
        }
    *out = pool.release();
    return 0;
}

uint8_t* meter_pool_append(meter_pool* pool, size_t t, size_t frames)
{
    sample_block& pending = pool->pending[t];
    if (pending.data.size() >= pool->block_bytes)
        meter_pool_flush(pool, t);
    // A new block has room for a whole one and what the last append may add;
    // none is made at the end for samples that will not come.
    if (pending.data.capacity() == 0) {
        if (!pool->threads.empty()) {
            std::lock_guard lock(pool->mutex);
            if (!pool->spare.empty()) {
                pending.data = std::move(pool->spare.back());
                pool->spare.pop_back();
            }
        }
        pending.data.reserve(pool->block_bytes + pool->block_bytes / 2);
    }
    const track_meter& tm = (*pool->tracks)[t];
    const size_t old = pending.data.size();
    pending.data.resize(old + frames * static_cast<size_t>(tm.channels) * track_sample_bytes(tm.format));
    pending.frames += frames;
    return pending.data.data() + old;
}

int meter_pool_finish(meter_pool* pool)
{
    if (pool->finished)
        return 0;
    for (size_t t = 0; t < pool->pending.size(); ++t)
        meter_pool_flush(pool, t);
    {
        std::lock_guard lock(pool->mutex);
        pool->stopping = true;
    }
    pool->work_ready.notify_all();
    for (std::thread& t : pool->threads)
        t.join();
    // The blocks the last samples ended, for the figures.
    for (track_meter& tm : *pool->tracks)
        if (tm.loudness)
            loudness_meter_flush(tm.loudness.get());
    pool->finished = true;
    return 0;
}

void meter_pool_destroy(meter_pool** pool)
{
    if (!pool || !*pool)
        return;
    meter_pool_finish(*pool);
    delete *pool;
    *pool = nullptr;
}
