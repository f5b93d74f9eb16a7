#include "loudness_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "qpm.h"
#include "utf8.h"

namespace {

// Geometry, in SVG user units (pixels at 100 %).
constexpr int plot_width = 1000;
constexpr int left = 64;                                // room for the LUFS labels
constexpr int right = 36;                               // room for the last time label
constexpr int columns_max = plot_width - left - right;  // horizontal pixels of a panel's plot
constexpr int header = 60;                              // title and legend
constexpr int panel_title = 26;                         // a panel's title, above its plot
constexpr int plot_height = 170;
constexpr int panel_height = panel_title + plot_height + 34;
constexpr double lufs_top = 0;
constexpr double lufs_bottom = -60;
constexpr double target = -23;
// -1 dBTP as a linear peak.
const double peak_limit = std::pow(10.0, -1.0 / 20.0);

// The readings of one horizontal pixel: the smallest and largest finite ones,
// in the order they came.
struct plot_column {
    bool any = false;
    float lo = 0;
    float hi = 0;
    bool lo_first = true;
};

// Reduces a series to `cols` columns, column j holding the entries of global
// index [j n / cols, (j + 1) n / cols). Silence (-inf) leaves a column empty.
std::vector<plot_column> plot_reduce(std::span<const float> v, size_t n, size_t cols)
{
    std::vector<plot_column> out(cols);
    for (size_t j = 0; j < cols; ++j) {
        const size_t from = j * n / cols;
        const size_t to = std::min((j + 1) * n / cols, v.size());
        plot_column& c = out[j];
        size_t lo_at = 0, hi_at = 0;
        for (size_t i = from; i < to; ++i) {
            if (!std::isfinite(v[i]))
                continue;
            if (!c.any || v[i] < c.lo) {
                c.lo = v[i];
                lo_at = i;
            }
            if (!c.any || v[i] > c.hi) {
                c.hi = v[i];
                hi_at = i;
            }
            c.any = true;
        }
        c.lo_first = lo_at <= hi_at;
    }
    return out;
}

double plot_y(double top, double lufs)
{
    const double v = std::clamp(lufs, lufs_bottom, lufs_top);
    return top + (lufs_top - v) / (lufs_top - lufs_bottom) * plot_height;
}

__attribute__((format(printf, 2, 3))) void plot_append(std::string* out, const char* fmt, ...)
{
    char buf[160];
    va_list args;
    va_start(args, fmt);
    vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    *out += buf;
}

// A figure as the report prints it, "-inf" included.
std::string plot_figure(double v)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%.2f", v);
    return buf;
}

// The length of the UTF-8 sequence at s[i] of a character XML may hold, or 0:
// control characters, U+FFFE and U+FFFF are no XML characters.
size_t plot_utf8_length(std::string_view s, size_t i)
{
    char32_t cp;
    const size_t n = utf8_decode(s, i, &cp);
    return n > 0 && cp >= 0x20 && cp != 0xFFFE && cp != 0xFFFF ? n : 0;
}

// The time-axis step: the smallest of the usual clock steps that gives at
// most ten ticks.
double plot_time_step(double duration)
{
    static constexpr double steps[] = {1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 10800, 21600};
    for (double s : steps)
        if (duration / s <= 10)
            return s;
    return std::ceil(duration / 10 / 21600) * 21600;
}

// Where a panel's plot lies: vertical offset, and the time axis of n entries
// in cols columns of col_w each.
struct panel_frame {
    double y0 = 0;      // the panel's top, its title above the plot
    double top = 0;     // the plot's top
    double bottom = 0;  // the plot's bottom
    size_t n = 0;
    size_t cols = 0;
    double col_w = 0;
    double duration = 0;  // seconds the axis spans
};

panel_frame plot_frame(double y0, size_t n)
{
    panel_frame f;
    f.y0 = y0;
    f.top = y0 + panel_title;
    f.bottom = f.top + plot_height;
    f.n = n;
    f.cols = std::min<size_t>(n, columns_max);
    f.col_w = f.cols ? static_cast<double>(columns_max) / static_cast<double>(f.cols) : columns_max;
    f.duration = std::max(static_cast<double>(n) * 0.1, 1.0);
    return f;
}

// The middle of column j.
double plot_col_x(const panel_frame& f, size_t j)
{
    return left + (static_cast<double>(j) + 0.5) * f.col_w;
}

// The panel's title with its figures, and the plot's background.
void plot_panel_title(std::string* svg, const plot_panel& p, const panel_frame& f)
{
    *svg += "<text x=\"" + std::to_string(left) + "\" y=\"" + plot_figure(f.y0 + 18) + "\" font-weight=\"bold\">" +
        loudness_plot_escape(p.name) + ": I " + plot_figure(p.loudness) + " LUFS, LRA " + plot_figure(p.lra) +
        " LU, max true peak " + plot_figure(qpm_ratio_to_db(p.true_peak)) + " dBTP</text>\n";
    plot_append(svg, "<rect x=\"%d\" y=\"%.1f\"", left, f.top);
    plot_append(svg, " width=\"%d\" height=\"%d\" fill=\"#fafafa\" stroke=\"#888\"/>\n", columns_max, plot_height);
}

// The LUFS grid and labels, then the target with its tolerance.
void plot_loudness_grid(std::string* svg, const panel_frame& f)
{
    for (double v = lufs_top; v >= lufs_bottom; v -= 10) {
        plot_append(svg, "<path d=\"M%d %.1f", left, plot_y(f.top, v));
        plot_append(svg, "h%d\" stroke=\"#ddd\"/><text x=\"%d\"", columns_max, left - 6);
        plot_append(svg, " y=\"%.1f\" text-anchor=\"end\">%.0f</text>\n", plot_y(f.top, v) + 4, v);
    }
    plot_append(svg, "<text transform=\"translate(18 %.1f) rotate(-90)\" text-anchor=\"middle\">LUFS</text>\n",
                f.top + plot_height / 2.0);
    plot_append(svg, "<rect x=\"%d\" y=\"%.1f\"", left, plot_y(f.top, target + 1));
    plot_append(svg, " width=\"%d\" height=\"%.1f\" fill=\"#2a2\" fill-opacity=\"0.15\"/>\n", columns_max,
                plot_y(f.top, target - 1) - plot_y(f.top, target + 1));
    plot_append(svg, "<path d=\"M%d %.1f", left, plot_y(f.top, target));
    plot_append(svg, "h%d\" stroke=\"#2a2\" stroke-dasharray=\"6 4\"/>\n", columns_max);
}

// The time grid and labels.
void plot_time_grid(std::string* svg, const panel_frame& f)
{
    const double step = plot_time_step(f.duration);
    for (double t = 0; t <= f.duration + 1e-9; t += step) {
        const double x = left + t / f.duration * columns_max;
        plot_append(svg, "<path d=\"M%.1f %.1f", x, f.top);
        plot_append(svg, "v%d\" stroke=\"#ddd\"/><text x=\"%.1f\"", plot_height, x);
        plot_append(svg, " y=\"%.1f\" text-anchor=\"middle\">", f.bottom + 22);
        *svg += loudness_plot_time(t) + "</text>\n";
    }
}

// Momentary loudness: a light band from each pixel's smallest to largest
// reading, one polygon per stretch without silence.
void plot_momentary_band(std::string* svg, std::span<const float> momentary, const panel_frame& f)
{
    const std::vector<plot_column> m = plot_reduce(momentary, f.n, f.cols);
    for (size_t j = 0; j < f.cols;) {
        if (!m[j].any) {
            ++j;
            continue;
        }
        size_t end = j;
        while (end < f.cols && m[end].any)
            ++end;
        *svg += "<polygon fill=\"#9cf\" stroke=\"#9cf\" stroke-width=\"0.8\" points=\"";
        for (size_t k = j; k < end; ++k)
            plot_append(svg, "%.1f,%.1f ", plot_col_x(f, k), plot_y(f.top, m[k].hi));
        for (size_t k = end; k-- > j;)
            plot_append(svg, "%.1f,%.1f ", plot_col_x(f, k), plot_y(f.top, m[k].lo));
        svg->back() = '"';
        *svg += "/>\n";
        j = end;
    }
}

// Short-term loudness: a line through each pixel's extremes in the order they
// came, broken by silence.
void plot_short_term_line(std::string* svg, std::span<const float> short_term, const panel_frame& f)
{
    const std::vector<plot_column> s = plot_reduce(short_term, f.n, f.cols);
    std::string path;
    for (size_t j = 0; j < f.cols;) {
        if (!s[j].any) {
            ++j;
            continue;
        }
        char cmd = 'M';
        size_t points = 0;
        for (; j < f.cols && s[j].any; ++j) {
            const float first = s[j].lo_first ? s[j].lo : s[j].hi;
            const float second = s[j].lo_first ? s[j].hi : s[j].lo;
            path += cmd;
            plot_append(&path, "%.1f %.1f", plot_col_x(f, j), plot_y(f.top, first));
            cmd = 'L';
            ++points;
            if (second != first) {
                plot_append(&path, "L%.1f %.1f", plot_col_x(f, j), plot_y(f.top, second));
                ++points;
            }
        }
        if (points == 1)
            path += "h0.5";  // a lone reading still shows as a dot
    }
    if (!path.empty())
        *svg += "<path fill=\"none\" stroke=\"#036\" stroke-width=\"1.4\" stroke-linejoin=\"round\" "
                "stroke-linecap=\"round\" d=\"" +
            path + "\"/>\n";
}

// The integrated loudness as a line across the plot.
void plot_integrated(std::string* svg, double loudness, const panel_frame& f)
{
    if (!std::isfinite(loudness))
        return;
    plot_append(svg, "<path d=\"M%d %.1f", left, plot_y(f.top, loudness));
    plot_append(svg, "h%d\" stroke=\"#e80\" stroke-width=\"1.2\"/>\n", columns_max);
}

// Stretches whose true peak passes -1 dBTP, as red bars under the plot.
void plot_peak_marks(std::string* svg, std::span<const float> tp, const panel_frame& f)
{
    auto hot = [&](size_t c) {
        const size_t to = std::min((c + 1) * f.n / f.cols, tp.size());
        for (size_t i = c * f.n / f.cols; i < to; ++i)
            if (tp[i] > peak_limit)
                return true;
        return false;
    };
    for (size_t j = 0; j < f.cols;) {
        if (!hot(j)) {
            ++j;
            continue;
        }
        const size_t from = j;
        while (j < f.cols && hot(j))
            ++j;
        plot_append(svg, "<rect x=\"%.1f\" y=\"%.1f\"", left + static_cast<double>(from) * f.col_w, f.bottom + 1);
        plot_append(svg, " width=\"%.1f\" height=\"5\" fill=\"#d00\"/>\n",
                    std::max(1.0, static_cast<double>(j - from) * f.col_w));
    }
}

// One panel at vertical offset y0 over a time axis of n entries.
void plot_panel_svg(std::string* svg, const plot_panel& p, double y0, size_t n)
{
    const panel_frame f = plot_frame(y0, n);
    plot_panel_title(svg, p, f);
    plot_loudness_grid(svg, f);
    plot_time_grid(svg, f);
    plot_momentary_band(svg, p.momentary, f);
    plot_short_term_line(svg, p.short_term, f);
    plot_integrated(svg, p.loudness, f);
    plot_peak_marks(svg, p.true_peaks, f);
}

}  // namespace

std::string loudness_plot_escape(std::string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '"')
            out += "&quot;";
        else if (c == '\'')
            out += "&apos;";
        else if (const size_t n = plot_utf8_length(text, i); n > 0) {
            out.append(text.substr(i, n));
            i += n;
            continue;
        } else {
            out += "\xEF\xBF\xBD";
        }
        ++i;
    }
    return out;
}

std::string loudness_plot_time(double seconds)
{
    const long long s = std::llround(std::max(seconds, 0.0));
    char buf[48];
    snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    return buf;
}

std::string loudness_plot_svg(std::string_view file_name, const std::vector<plot_panel>& panels)
{
    size_t n = 0;
    for (const plot_panel& p : panels)
        n = std::max({n, p.momentary.size(), p.short_term.size(), p.true_peaks.size()});
    const int height = header + static_cast<int>(panels.size()) * panel_height;
    std::string svg;
    svg += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(plot_width) + "\" height=\"" +
        std::to_string(height) + "\" viewBox=\"0 0 " + std::to_string(plot_width) + " " + std::to_string(height) +
        "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"#fff\"/>\n";
    svg += "<text x=\"" + std::to_string(left) + "\" y=\"24\" font-size=\"16\" font-weight=\"bold\">" +
        loudness_plot_escape(file_name) + "</text>\n";
    // The legend, one sample of each mark.
    const int ly = 44;
    auto legend = [&](int x, const std::string& mark, const char* label) {
        svg += "<g transform=\"translate(" + std::to_string(x) + " " + std::to_string(ly) + ")\">" + mark +
            "<text x=\"26\" y=\"4\">" + label + "</text></g>\n";
    };
    legend(left, "<path d=\"M0 0h20\" stroke=\"#036\" stroke-width=\"1.4\"/>", "short-term (3 s)");
    legend(left + 150, "<rect y=\"-4\" width=\"20\" height=\"8\" fill=\"#9cf\"/>", "momentary (400 ms)");
    legend(left + 310, "<rect y=\"-4\" width=\"20\" height=\"8\" fill=\"#2a2\" fill-opacity=\"0.3\"/>",
           "target -23 LUFS \xC2\xB1"
           "1 LU");
    legend(left + 490, "<path d=\"M0 0h20\" stroke=\"#e80\" stroke-width=\"1.2\"/>", "integrated");
    legend(left + 600, "<rect y=\"-3\" width=\"20\" height=\"5\" fill=\"#d00\"/>", "true peak above -1 dBTP");
    for (size_t i = 0; i < panels.size(); ++i)
        plot_panel_svg(&svg, panels[i], header + static_cast<double>(i) * panel_height, n);
    svg += "</svg>\n";
    return svg;
}
