#include "scope_report.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "loudness_plot.h"
#include "qpm.h"
#include "utf8.h"

namespace {

void scope_print_text(FILE* out, const char* path, const measurement& run)
{
    fprintf(out, "filename: %s\n", path);
    for (const audio_track& t : run.tracks) {
        const track_figures f = track_meter_figures(run.meters[t.meter]);
        fprintf(out, "\tidx #%d\n", t.stream);
        fprintf(out, "\t\tloudness  %.2f LUFS\n", f.loudness);
        fprintf(out, "\t\tLRA %.2f LU\n", f.lra);
        for (size_t c = 0; c < f.channels.size(); ++c) {
            const channel_figures& ch = f.channels[c];
            const int ci = static_cast<int>(c);
            fprintf(out, "\t\tsample peak [%d] %.2lf dBFS\n", ci, qpm_ratio_to_db(ch.sample_peak));
            fprintf(out, "\t\ttrue peak [%d] %.2lf dBFS\n", ci, qpm_ratio_to_db(ch.true_peak));
            fprintf(out, "\t\tqpm0 [%d] %.2lf dBFS\n", ci, ch.qpm_db[0]);
            fprintf(out, "\t\tqpm5 [%d] %.2lf dBFS\n", ci, ch.qpm_db[1]);
            fprintf(out, "\t\tqpm10 [%d] %.2lf dBFS\n", ci, ch.qpm_db[2]);
            fprintf(out, "\t\tqpm200 [%d] %.2lf dBFS\n", ci, ch.qpm_db[3]);
        }
    }
    for (size_t i = 0; i < run.programmes.size(); ++i) {
        const programme_figures f = measurement_programme_figures(run, i);
        fprintf(out, "programme %s:\n", run.programmes[i].name.c_str());
        fprintf(out, "\tloudness:  %.2f LUFS\n", f.loudness);
        fprintf(out, "\tLRA: %.2f LU\n", f.lra);
        fprintf(out, "\ttrue peak: %.2lf dBFS\n", qpm_ratio_to_db(f.true_peak));
    }
}

// The text as the contents of a JSON string: quotes, backslashes and control
// characters escaped, and each byte that does not belong to well-formed UTF-8
// as U+FFFD, so that the document is UTF-8, as JSON must be, for any name.
std::string scope_json_escape(std::string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size();) {
        char32_t cp;
        const size_t n = utf8_decode(text, i, &cp);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        if (cp == '"' || cp == '\\') {
            out += '\\';
            out += static_cast<char>(cp);
        } else if (cp < 0x20) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(cp));
            out += esc;
        } else {
            out.append(text.substr(i, n));
        }
        i += n;
    }
    return out;
}

// The true peaks every 100 ms of a programme: the largest of its tracks'.
std::vector<float> scope_programme_peaks(const measurement& run, const audio_programme& p)
{
    std::vector<float> peaks;
    for (size_t j : p.tracks) {
        const std::vector<float>& tp = run.meters[run.tracks[j].meter].series->true_peak;
        if (peaks.size() < tp.size())
            peaks.resize(tp.size(), 0.0f);
        for (size_t i = 0; i < tp.size(); ++i)
            peaks[i] = std::max(peaks[i], tp[i]);
    }
    return peaks;
}

// A series as the member of a JSON object, on one line, its values strings
// like the report's other figures.
void scope_print_series(FILE* out, const char* key, const std::vector<float>& values, bool last)
{
    fprintf(out, "            \"%s\": [", key);
    for (size_t i = 0; i < values.size(); ++i)
        fprintf(out, i ? ", \"%.2f\"" : "\"%.2f\"", static_cast<double>(values[i]));
    fprintf(out, last ? "]\n" : "],\n");
}

void scope_print_json_series(FILE* out, const track_meter& m)
{
    scope_print_series(out, "momentary", m.series->momentary, false);
    scope_print_series(out, "short_term", m.series->short_term, true);
}

// A unit's name in the text report: "idx #1", or "programme 1-2".
std::string scope_unit_name(const measurement& m, const measured_unit& u)
{
    if (u.programme >= 0)
        return "programme " + m.programmes[static_cast<size_t>(u.programme)].name;
    return "idx #" + std::to_string(m.tracks[u.track].stream);
}

// The check of every programme and every track of no programme, after the
// text report: a line each.
void scope_print_text_check(FILE* out, const measurement& run, const delivery_spec* check)
{
    if (!check)
        return;
    for (const measured_unit& u : measurement_units(run))
        fprintf(out, "check %s %s: %s\n", check->name.c_str(), scope_unit_name(run, u).c_str(),
                delivery_verdict(delivery_check(*check, u.figures.loudness, u.figures.true_peak)).c_str());
}

// The check as the JSON report's last member: the target's figures,
// then an entry per programme or track of no programme.
void scope_print_json_check(FILE* out, const measurement& run, const delivery_spec* check)
{
    if (!check)
        return;
    fprintf(out, "    \"check\":\n");
    fprintf(out, "    {\n");
    fprintf(out, "        \"spec\": \"%s\",\n", scope_json_escape(check->name).c_str());
    fprintf(out, "        \"loudness\": \"%.2f\",\n", check->loudness);
    fprintf(out, "        \"tolerance\": \"%.2f\",\n", check->tolerance);
    fprintf(out, "        \"true_peak\": \"%.2f\",\n", check->true_peak);
    fprintf(out, "        \"results\":\n");
    fprintf(out, "        [\n");
    const std::vector<measured_unit> units = measurement_units(run);
    for (size_t i = 0; i < units.size(); ++i) {
        const measured_unit& u = units[i];
        const std::vector<std::string> reasons = delivery_check(*check, u.figures.loudness, u.figures.true_peak);
        if (i > 0)
            fprintf(out, "            ,\n");
        fprintf(out, "            {\n");
        if (u.programme >= 0)
            fprintf(out, "                \"streams\": \"%s\",\n",
                    run.programmes[static_cast<size_t>(u.programme)].name.c_str());
        else
            fprintf(out, "                \"idx\": \"%d\",\n", run.tracks[u.track].stream);
        fprintf(out, "                \"pass\": \"%s\",\n", reasons.empty() ? "true" : "false");
        fprintf(out, "                \"reasons\": [");
        for (size_t r = 0; r < reasons.size(); ++r)
            fprintf(out, r ? ", \"%s\"" : "\"%s\"", reasons[r].c_str());
        fprintf(out, "]\n");
        fprintf(out, "            }\n");
    }
    fprintf(out, "        ]\n");
    fprintf(out, "    }\n");
}

void scope_print_json(FILE* out, const char* path, const measurement& run, bool series, const delivery_spec* check)
{
    fprintf(out, "{\n");
    fprintf(out, "    \"filename\": \"%s\",\n", scope_json_escape(path).c_str());
    fprintf(out, "    \"audio_cnt\": \"%d\",\n", static_cast<int>(run.tracks.size()));
    fprintf(out, "    \"audio_tracks\":\n");
    fprintf(out, "    [\n");
    for (size_t j = 0; j < run.tracks.size(); ++j) {
        const track_figures f = track_meter_figures(run.meters[run.tracks[j].meter]);
        if (j > 0)
            fprintf(out, "        ,\n");
        fprintf(out, "        {\n");
        fprintf(out, "            \"idx\": \"%d\",\n", run.tracks[j].stream);
        fprintf(out, "            \"loudness\": \"%.2f\",\n", f.loudness);
        fprintf(out, "            \"LRA\": \"%.2f\",\n", f.lra);
        fprintf(out, "            \"channels\": \n");
        fprintf(out, "            [\n");
        for (size_t c = 0; c < f.channels.size(); ++c) {
            const channel_figures& ch = f.channels[c];
            if (c > 0)
                fprintf(out, "                ,\n");
            fprintf(out, "                {\n");
            fprintf(out, "                    \"sample_peak\": \"%.2lf\",\n", ch.sample_peak);
            fprintf(out, "                    \"true_peak\": \"%.2lf\",\n", ch.true_peak);
            fprintf(out, "                    \"qpm0\": \"%.2lf\",\n", ch.qpm_db[0]);
            fprintf(out, "                    \"qpm5\": \"%.2lf\",\n", ch.qpm_db[1]);
            fprintf(out, "                    \"qpm10\": \"%.2lf\",\n", ch.qpm_db[2]);
            fprintf(out, "                    \"qpm200\": \"%.2lf\"\n", ch.qpm_db[3]);
            fprintf(out, "                }\n");
        }
        if (series) {
            fprintf(out, "            ],\n");
            scope_print_json_series(out, run.meters[run.tracks[j].meter]);
        } else {
            fprintf(out, "            ]\n");
        }
        fprintf(out, "        }\n");
    }
    if (run.programmes.empty()) {
        fprintf(out, check ? "    ],\n" : "    ]\n");
        scope_print_json_check(out, run, check);
        fprintf(out, "}\n");
        return;
    }
    // Programmes follow the tracks only when they were asked for, in the
    // tracks' layout; the true peak is linear like the channels'.
    fprintf(out, "    ],\n");
    fprintf(out, "    \"programmes\":\n");
    fprintf(out, "    [\n");
    for (size_t i = 0; i < run.programmes.size(); ++i) {
        const audio_programme& p = run.programmes[i];
        const programme_figures f = measurement_programme_figures(run, i);
        if (i > 0)
            fprintf(out, "        ,\n");
        fprintf(out, "        {\n");
        fprintf(out, "            \"streams\": \"%s\",\n", p.name.c_str());
        fprintf(out, "            \"loudness\": \"%.2f\",\n", f.loudness);
        fprintf(out, "            \"LRA\": \"%.2f\",\n", f.lra);
        fprintf(out, series ? "            \"true_peak\": \"%.2lf\",\n" : "            \"true_peak\": \"%.2lf\"\n",
                f.true_peak);
        if (series)
            scope_print_json_series(out, run.meters[p.meter]);
        fprintf(out, "        }\n");
    }
    fprintf(out, check ? "    ],\n" : "    ]\n");
    scope_print_json_check(out, run, check);
    fprintf(out, "}\n");
}

// The text an open_memstream stream fills, freed with it.
struct memstream_text {
    char* data = nullptr;
    size_t size = 0;
    ~memstream_text() { free(data); }
};

struct file_closer {
    void operator()(FILE* f) const { fclose(f); }
};

}  // namespace

// One line per track whose float samples held NaNs or infinities, which
// every meter took as silence: the figures then say nothing of them.
void scope_report_non_finite(const measurement& run)
{
    for (const audio_track& t : run.tracks) {
        const uint64_t n = run.meters[t.meter].non_finite;
        if (n > 0)
            fprintf(stderr, "Stream #%d: %llu %s not finite (NaN or infinite); measured as silence\n", t.stream,
                    static_cast<unsigned long long>(n), n == 1 ? "sample is" : "samples are");
    }
}

// Writes the report to out and flushes it. Returns 0, or the errno of the
// write that failed (a full disk, a closed output) or ENOMEM.
int scope_write_report(FILE* out, const char* path, const measurement& run, report_mode mode, bool series,
                       const delivery_spec* check)
{
    // The report is made in memory first and then written by one call and a
    // flush: a long report fails in the middle of the call, a short one only
    // at the flush, and either way the failing call leaves its errno.
    memstream_text text;  // freed after the stream that fills it is closed
    std::unique_ptr<FILE, file_closer> mem(open_memstream(&text.data, &text.size));
    if (!mem)
        return ENOMEM;
    if (mode == report_mode::json) {
        scope_print_json(mem.get(), path, run, series, check);
    } else {
        scope_print_text(mem.get(), path, run);
        scope_print_text_check(mem.get(), run, check);
    }
    if (ferror(mem.get()) || fflush(mem.get()) != 0)
        return ENOMEM;
    errno = 0;
    if (fwrite(text.data, 1, text.size, out) != text.size || fflush(out) != 0)
        return errno != 0 ? errno : EIO;
    return 0;
}

// The panels of the picture: one per track, or per programme where the track
// is in one, in stream order.
std::string scope_plot(const char* path, const measurement& run)
{
    std::vector<plot_panel> panels;
    std::vector<std::vector<float>> programme_peaks(run.programmes.size());
    std::vector<bool> shown(run.programmes.size(), false);
    for (const audio_track& t : run.tracks) {
        plot_panel panel;
        const track_meter* m = &run.meters[t.meter];
        if (t.programme < 0) {
            const track_figures f = track_meter_figures(*m);
            panel.name = "idx #" + std::to_string(t.stream);
            panel.loudness = f.loudness;
            panel.lra = f.lra;
            for (const channel_figures& ch : f.channels)
                panel.true_peak = std::max(panel.true_peak, ch.true_peak);
            panel.true_peaks = m->series->true_peak;
        } else {
            const size_t i = static_cast<size_t>(t.programme);
            if (shown[i])
                continue;
            shown[i] = true;
            const audio_programme& p = run.programmes[i];
            m = &run.meters[p.meter];
            const programme_figures f = measurement_programme_figures(run, i);
            panel.name = "programme " + p.name;
            panel.loudness = f.loudness;
            panel.lra = f.lra;
            panel.true_peak = f.true_peak;
            programme_peaks[i] = scope_programme_peaks(run, p);
            panel.true_peaks = programme_peaks[i];
        }
        panel.momentary = m->series->momentary;
        panel.short_term = m->series->short_term;
        panels.push_back(std::move(panel));
    }
    return loudness_plot_svg(path, panels);
}

bool scope_check_passes(const measurement& m, const delivery_spec& check)
{
    for (const measured_unit& u : measurement_units(m))
        if (!delivery_check(check, u.figures.loudness, u.figures.true_peak).empty())
            return false;
    return true;
}
