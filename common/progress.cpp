#include "progress.h"

#include <unistd.h>

namespace {

constexpr auto redraw_interval = std::chrono::milliseconds(100);

}  // namespace

void progress_init(progress_line* p, FILE* stream, const char* label)
{
    *p = progress_line{};
    if (!stream || !isatty(fileno(stream)))
        return;
    p->stream = stream;
    p->label = label;
    p->start = p->last = std::chrono::steady_clock::now();
}

void progress_update(progress_line* p, double fraction, double media_seconds)
{
    if (!p->stream)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (now - p->last < redraw_interval)
        return;
    p->last = now;
    const double elapsed = std::chrono::duration<double>(now - p->start).count();
    fprintf(p->stream, "\r\033[K%s", p->label);
    if (fraction >= 0)
        fprintf(p->stream, " %3.0f%%", fraction * 100.0);
    if (media_seconds > 0 && elapsed > 0)
        fprintf(p->stream, " at %.1fx real time", media_seconds / elapsed);
    if (fraction > 0.001 && fraction < 1) {
        const long left = static_cast<long>(elapsed * (1 - fraction) / fraction + 0.5);
        fprintf(p->stream, ", %ld:%02ld left", left / 60, left % 60);
    }
    fflush(p->stream);
    p->shown = true;
}

void progress_clear(progress_line* p)
{
    if (!p->stream || !p->shown)
        return;
    fprintf(p->stream, "\r\033[K");
    fflush(p->stream);
    p->shown = false;
}
