#include "track_meter.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {

constexpr int meter_types[4] = {0, 5, 10, 200};
// Samples of a track are handed to the threads in blocks of about this size.
constexpr size_t block_bytes = 128 << 10;
// Blocks waiting for the threads, at most: bounds memory whatever the input length.
constexpr size_t queue_limit_bytes = 2 << 20;

enum work_kind { WORK_LOUDNESS, WORK_PEAKS, WORK_QPM };

// One piece of work: always done by the same thread, on every block of its track.
struct work_item {
    size_t track;
    work_kind kind;
    int channel;
};

// Relative cost per frame, used only to spread the items evenly over threads:
// the true-peak oversampling dominates.
double work_cost(const work_item& w, const track_meter& tm)
{
    switch (w.kind) {
    case WORK_LOUDNESS: return 1.0 * tm.channels;
    case WORK_PEAKS: return 5.0;
    default: return 1.5;
    }
}

struct sample_block {
    size_t track = 0;
    size_t frames = 0;
    std::vector<uint8_t> data;
};

// Per-thread buffers for one channel's samples.
struct channel_scratch {
    std::vector<uint8_t> mono;
    std::vector<double> levels;
};

template <typename T>
int add_frames(ebur128_state* st, const T* data, size_t frames)
{
    if constexpr (std::is_same_v<T, int16_t>)
        return ebur128_add_frames_short(st, data, frames);
    else if constexpr (std::is_same_v<T, int32_t>)
        return ebur128_add_frames_int(st, data, frames);
    else
        return ebur128_add_frames_float(st, data, frames);
}

// The quasi-peak meters' reading of a sample: floats as they are, integers
// divided by their largest positive value.
template <typename T>
double qpm_level(T sample)
{
    if constexpr (std::is_same_v<T, int16_t>)
        return static_cast<double>(sample) / 32767.0;
    else if constexpr (std::is_same_v<T, int32_t>)
        return static_cast<double>(sample) / 2147483647.0;
    else
        return static_cast<double>(sample);
}

template <typename T>
void run_item(track_meter& tm, const work_item& w, const sample_block& b, channel_scratch& scratch)
{
    const T* data = reinterpret_cast<const T*>(b.data.data());
    const size_t k = static_cast<size_t>(tm.channels);
    const size_t c = static_cast<size_t>(w.channel);
    switch (w.kind) {
    case WORK_LOUDNESS:
        add_frames(tm.loudness.get(), data, b.frames);
        break;
    case WORK_PEAKS: {
        scratch.mono.resize(b.frames * sizeof(T));
        T* mono = reinterpret_cast<T*>(scratch.mono.data());
        for (size_t s = 0; s < b.frames; ++s)
            mono[s] = data[s * k + c];
        add_frames(tm.peaks[c].get(), mono, b.frames);
        break;
    }
    case WORK_QPM: {
        scratch.levels.resize(b.frames);
        for (size_t s = 0; s < b.frames; ++s)
            scratch.levels[s] = qpm_level(data[s * k + c]);
        const double dt = 1.0 / tm.sample_rate;
        qpm_meter* const meters[4] = {tm.qpm[c][0].get(), tm.qpm[c][1].get(), tm.qpm[c][2].get(),
                                      tm.qpm[c][3].get()};
        qpm_process_block4(meters, scratch.levels.data(), b.frames, dt);
        break;
    }
    }
}

void run_items(std::vector<track_meter>& tracks, const std::vector<work_item>& items, const sample_block& b,
               channel_scratch& scratch)
{
    track_meter& tm = tracks[b.track];
    for (const work_item& w : items) {
        switch (tm.format) {
        case TRACK_S16: run_item<int16_t>(tm, w, b, scratch); break;
        case TRACK_S32: run_item<int32_t>(tm, w, b, scratch); break;
        case TRACK_FLOAT: run_item<float>(tm, w, b, scratch); break;
        }
    }
}

struct meter_worker {
    std::vector<std::vector<work_item>> items;  // per track
    std::deque<std::shared_ptr<const sample_block>> queue;
    std::thread thread;
};

}  // namespace

struct meter_pool {
    std::vector<track_meter>* tracks = nullptr;
    std::vector<sample_block> pending;  // per track, being filled by the caller
    // No workers: the caller's thread runs every item, listed here per track.
    std::vector<std::vector<work_item>> inline_items;
    channel_scratch inline_scratch;
    std::vector<meter_worker> workers;
    std::mutex mutex;
    std::condition_variable work_ready;
    std::condition_variable room;
    size_t queued_bytes = 0;
    bool stopping = false;
    bool finished = false;
};

namespace {

void meter_worker_run(meter_pool* pool, meter_worker* w)
{
    channel_scratch scratch;
    for (;;) {
        std::shared_ptr<const sample_block> block;
        {
            std::unique_lock lock(pool->mutex);
            pool->work_ready.wait(lock, [&] { return !w->queue.empty() || pool->stopping; });
            if (w->queue.empty())
                return;
            block = std::move(w->queue.front());
            w->queue.pop_front();
        }
        run_items(*pool->tracks, w->items[block->track], *block, scratch);
        {
            std::lock_guard lock(pool->mutex);
            pool->queued_bytes -= block->data.size();
        }
        pool->room.notify_one();
    }
}

void meter_pool_flush(meter_pool* pool, size_t t)
{
    sample_block& pending = pool->pending[t];
    if (pending.frames == 0)
        return;
    if (pool->workers.empty()) {
        run_items(*pool->tracks, pool->inline_items[t], pending, pool->inline_scratch);
        pending.frames = 0;
        pending.data.clear();
        return;
    }
    auto block = std::make_shared<sample_block>(std::move(pending));
    pending = sample_block{t, 0, {}};
    pending.data.reserve(block_bytes + block_bytes / 2);
    {
        std::unique_lock lock(pool->mutex);
        pool->room.wait(lock, [&] { return pool->queued_bytes <= queue_limit_bytes; });
        for (meter_worker& w : pool->workers)
            if (!w.items[t].empty()) {
                w.queue.push_back(block);
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
    const unsigned long rate = static_cast<unsigned long>(sample_rate);
    // The loudness is measured over all channels together; each channel's peaks
    // in a state of its own, so that they can be computed apart.
    ebur128_ptr loudness(ebur128_init(k, rate, EBUR128_MODE_I | EBUR128_MODE_LRA));
    if (!loudness)
        return -22;
    std::vector<ebur128_ptr> peaks;
    for (unsigned c = 0; c < k; ++c) {
        peaks.emplace_back(ebur128_init(1, rate, EBUR128_MODE_SAMPLE_PEAK | EBUR128_MODE_TRUE_PEAK));
        if (!peaks.back())
            return -22;
    }
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

track_figures track_meter_figures(const track_meter& tm)
{
    track_figures f;
    ebur128_loudness_global(tm.loudness.get(), &f.loudness);
    ebur128_loudness_range(tm.loudness.get(), &f.lra);
    f.channels.resize(static_cast<size_t>(tm.channels));
    for (size_t c = 0; c < f.channels.size(); ++c) {
        channel_figures& ch = f.channels[c];
        ebur128_sample_peak(tm.peaks[c].get(), 0, &ch.sample_peak);
        ebur128_true_peak(tm.peaks[c].get(), 0, &ch.true_peak);
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

    std::vector<work_item> items;
    for (size_t t = 0; t < n; ++t) {
        items.push_back({t, WORK_LOUDNESS, 0});
        for (int c = 0; c < (*tracks)[t].channels; ++c) {
            items.push_back({t, WORK_PEAKS, c});
            items.push_back({t, WORK_QPM, c});
        }
    }
    if (threads == 0)
        threads = std::max(1u, std::thread::hardware_concurrency());
    threads = static_cast<unsigned>(std::min<size_t>(threads, items.size()));

    if (threads <= 1) {
        pool->inline_items.resize(n);
        for (const work_item& w : items)
            pool->inline_items[w.track].push_back(w);
    } else {
        // Largest items first, each to the least loaded thread.
        std::stable_sort(items.begin(), items.end(), [&](const work_item& a, const work_item& b) {
            return work_cost(a, (*tracks)[a.track]) > work_cost(b, (*tracks)[b.track]);
        });
        pool->workers = std::vector<meter_worker>(threads);
        std::vector<double> load(threads, 0.0);
        for (meter_worker& w : pool->workers)
            w.items.resize(n);
        for (const work_item& item : items) {
            const size_t least = static_cast<size_t>(std::min_element(load.begin(), load.end()) - load.begin());
            pool->workers[least].items[item.track].push_back(item);
            load[least] += work_cost(item, (*tracks)[item.track]);
        }
        for (meter_worker& w : pool->workers)
            w.thread = std::thread(meter_worker_run, pool.get(), &w);
    }
    *out = pool.release();
    return 0;
}

uint8_t* meter_pool_append(meter_pool* pool, size_t t, size_t frames)
{
    sample_block& pending = pool->pending[t];
    if (pending.data.size() >= block_bytes)
        meter_pool_flush(pool, t);
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
    for (meter_worker& w : pool->workers)
        w.thread.join();
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
