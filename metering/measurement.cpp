#include "measurement.h"

#include <algorithm>

void measurement_init(measurement* m, size_t streams)
{
    m->track_of_stream.assign(streams, -1);
}

int measurement_add_track(measurement* m, int32_t stream, int32_t codec_id, int32_t channels, int32_t sample_rate,
                          track_sample_format format)
{
    track_meter meter;
    if (channels <= 0 || sample_rate < measurement_min_rate ||
        track_meter_init(&meter, channels, sample_rate, format) != 0)
        return -22;
    audio_track t;
    t.stream = stream;
    t.codec_id = codec_id;
    t.channels = channels;
    t.sample_rate = sample_rate;
    t.format = format;
    t.meter = m->meters.size();
    m->meters.push_back(std::move(meter));
    const size_t s = static_cast<size_t>(stream);
    if (m->track_of_stream.size() <= s)
        m->track_of_stream.resize(s + 1, -1);
    m->track_of_stream[s] = static_cast<int32_t>(m->tracks.size());
    m->tracks.push_back(t);
    return 0;
}

namespace {

// The programme of one group, or the one-line reason why it cannot be one.
std::string measurement_make_programme(const measurement& m, const programme_group& g, const char* kind,
                                       audio_programme* p)
{
    p->name = g.name;
    bool any_float = false, all_s16 = true;
    for (int s = g.first; s <= g.last; ++s) {
        const size_t i = static_cast<size_t>(s);
        if (i >= m.track_of_stream.size() || m.track_of_stream[i] < 0)
            return "Programme group " + g.name + " names stream #" + std::to_string(s) + ", which is not a selected " +
                kind + " track";
        const size_t t = static_cast<size_t>(m.track_of_stream[i]);
        const audio_track& track = m.tracks[t];
        if (!p->tracks.empty() && track.sample_rate != p->sample_rate)
            return "Programme group " + g.name + " mixes sample rates: stream #" +
                std::to_string(m.tracks[p->tracks[0]].stream) + " at " + std::to_string(p->sample_rate) +
                " Hz, stream #" + std::to_string(s) + " at " + std::to_string(track.sample_rate) + " Hz";
        p->tracks.push_back(t);
        p->channels += track.channels;
        p->sample_rate = track.sample_rate;
        any_float = any_float || track.format == TRACK_FLOAT;
        all_s16 = all_s16 && track.format == TRACK_S16;
    }
    p->format = any_float ? TRACK_FLOAT : all_s16 ? TRACK_S16 : TRACK_S32;
    return {};
}

}  // namespace

int measurement_set_programmes(measurement* m, const std::vector<programme_group>& groups, const char* kind,
                               std::string* why)
{
    if (const int s = programme_groups_overlap(groups); s >= 0) {
        *why = "Stream #" + std::to_string(s) + " is in more than one programme group";
        return -22;
    }
    std::vector<audio_programme> programmes(groups.size());
    std::vector<track_meter> meters(groups.size());
    for (size_t i = 0; i < groups.size(); ++i) {
        audio_programme& p = programmes[i];
        if (std::string reason = measurement_make_programme(*m, groups[i], kind, &p); !reason.empty()) {
            *why = std::move(reason);
            return -22;
        }
        if (track_meter_init_loudness(&meters[i], p.channels, p.sample_rate, p.format) != 0) {
            *why = "Programme group " + p.name + ": cannot measure " + std::to_string(p.channels) + " channels at " +
                std::to_string(p.sample_rate) + " Hz";
            return -22;
        }
        // The programme takes its tracks' samples before their meters look
        // at them: it measures those that are not finite as its tracks do.
        for (size_t t : p.tracks)
            meters[i].silence_non_finite =
                meters[i].silence_non_finite || m->meters[m->tracks[t].meter].silence_non_finite;
    }
    for (size_t i = 0; i < groups.size(); ++i) {
        audio_programme& p = programmes[i];
        p.meter = m->meters.size();
        m->meters.push_back(std::move(meters[i]));
        std::vector<size_t> channels;
        std::vector<track_sample_format> formats;
        for (size_t k = 0; k < p.tracks.size(); ++k) {
            audio_track& t = m->tracks[p.tracks[k]];
            t.programme = static_cast<int>(m->programmes.size());
            t.member = k;
            channels.push_back(static_cast<size_t>(t.channels));
            formats.push_back(t.format);
        }
        programme_feed_init(&p.feed, channels, formats, p.format);
        m->programmes.push_back(std::move(p));
    }
    return 0;
}

void measurement_keep_series(measurement* m)
{
    for (track_meter& meter : m->meters)
        track_meter_keep_series(&meter);
}

int measurement_start(measurement* m)
{
    meter_pool* pool = nullptr;
    if (meter_pool_create(&pool, &m->meters, m->threads) != 0)
        return -12;
    m->pool.reset(pool);
    return 0;
}

uint8_t* measurement_room(measurement* m, size_t t, size_t frames)
{
    m->room = meter_pool_append(m->pool.get(), m->tracks[t].meter, frames);
    return m->room;
}

void measurement_flush_programme(measurement* m, size_t p)
{
    audio_programme& prog = m->programmes[p];
    const size_t ready = programme_feed_ready(prog.feed);
    if (ready > 0)
        programme_feed_take(&prog.feed, ready, meter_pool_append(m->pool.get(), prog.meter, ready));
}

void measurement_commit(measurement* m, size_t t, size_t frames)
{
    audio_track& track = m->tracks[t];
    track.frames += frames;
    if (frames >= track.largest_piece) {
        track.largest_piece = frames;
        track.short_tail = 0;
    } else {
        track.short_tail += track.largest_piece - frames;
    }
    if (track.programme < 0)
        return;
    const size_t p = static_cast<size_t>(track.programme);
    audio_programme& prog = m->programmes[p];
    if (prog.read_back)
        return;
    programme_feed_push(&prog.feed, track.member, m->room, frames);
    measurement_flush_programme(m, p);
    // Tracks stored far apart (a whole track after another) would have to
    // wait here whole: the programme is read back after the scan instead.
    if (prog.feed.queued_bytes > m->programme_queue_bytes) {
        prog.read_back = true;
        programme_feed_clear(&prog.feed);
    }
}

void measurement_finish(measurement* m)
{
    for (size_t p = 0; p < m->programmes.size(); ++p)
        if (!m->programmes[p].read_back) {
            programme_feed_pad(&m->programmes[p].feed);
            measurement_flush_programme(m, p);
        }
    if (m->pool)
        meter_pool_finish(m->pool.get());
}

track_figures measurement_track_figures(const measurement& m, size_t t)
{
    return track_meter_figures(m.meters[m.tracks[t].meter]);
}

double measurement_track_peak(const measurement& m, size_t t)
{
    // What the track's figures report, without their loudness range.
    double peak = 0;
    for (const true_peak_meter& tp : m.meters[m.tracks[t].meter].peaks)
        peak = std::max(peak, true_peak_true_peak(tp));
    return peak;
}

programme_figures measurement_programme_figures(const measurement& m, size_t p)
{
    const audio_programme& prog = m.programmes[p];
    const track_figures loudness = track_meter_figures(m.meters[prog.meter]);
    programme_figures f;
    f.loudness = loudness.loudness;
    f.lra = loudness.lra;
    for (size_t t : prog.tracks)
        f.true_peak = std::max(f.true_peak, measurement_track_peak(m, t));
    return f;
}

std::vector<measured_unit> measurement_units(const measurement& m)
{
    std::vector<measured_unit> units;
    std::vector<bool> listed(m.programmes.size(), false);
    for (size_t t = 0; t < m.tracks.size(); ++t) {
        measured_unit u;
        u.programme = m.tracks[t].programme;
        u.track = t;
        if (u.programme >= 0) {
            if (listed[static_cast<size_t>(u.programme)])
                continue;
            listed[static_cast<size_t>(u.programme)] = true;
            u.figures = measurement_programme_figures(m, static_cast<size_t>(u.programme));
        } else {
            const track_figures f = measurement_track_figures(m, t);
            u.figures = {f.loudness, f.lra, measurement_track_peak(m, t)};
        }
        units.push_back(u);
    }
    return units;
}
