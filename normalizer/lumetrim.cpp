// The lumetrim driver: command line, one normalisation, result as exit status.
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

#include "inplace_norm.h"

namespace {

void lumetrim_usage(const char* argv0)
{
    fprintf(stderr, "Please specify arguments.\nUsage:\n\t%s <src file> [<auto|<value>> <dst file>]\n", argv0);
}

// A refused option: its one-line diagnostic, then the usage.
int lumetrim_refuse(const char* argv0, const std::string& why)
{
    fprintf(stderr, "%s\n", why.c_str());
    lumetrim_usage(argv0);
    return 1;
}

// A ceiling in dBTP: a whole finite decimal number, at most 0 (above full
// scale a ceiling could not keep samples from clipping).
bool lumetrim_parse_ceiling(const char* text, double* out)
{
    char* end = nullptr;
    const double v = strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(v) || v > 0)
        return false;
    *out = v;
    return true;
}

}  // namespace

int lumetrim_main(int argc, char** argv)
{
    const char* argv0 = argc > 0 ? argv[0] : "lumetrim";
    // Options come before the file arguments.
    const char* groups_text = nullptr;
    const char* ceiling_text = nullptr;
    int first = 1;
    while (first + 1 < argc && (std::strcmp(argv[first], "-p") == 0 || std::strcmp(argv[first], "-c") == 0)) {
        const char*& value = argv[first][1] == 'p' ? groups_text : ceiling_text;
        if (value)
            return lumetrim_refuse(argv0, std::string("Option ") + argv[first] + " given twice");
        value = argv[first + 1];
        first += 2;
    }
    const int files = argc - first;
    if (files != 1 && files != 3) {
        lumetrim_usage(argv0);
        return 1;
    }
    std::vector<programme_group> groups;
    if (groups_text && programme_groups_parse(groups_text, &groups) != 0)
        return lumetrim_refuse(argv0, std::string("Invalid programme groups: ") + groups_text);
    if (groups_text)
        if (const int s = programme_groups_overlap(groups); s >= 0)
            return lumetrim_refuse(argv0, "Stream #" + std::to_string(s) + " is in more than one programme group");
    double ceiling = NAN;
    if (ceiling_text && !lumetrim_parse_ceiling(ceiling_text, &ceiling))
        return lumetrim_refuse(argv0, std::string("Invalid true-peak ceiling: ") + ceiling_text);
    // A full file-size limit or a closed pipe must come back as a write error
    // (and a clean-up), not end the process half-way.
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    const char* src = argv[first];
    inplace_norm_ctx* ctx = nullptr;
    int r = inplace_norm_create(&ctx, src);
    fprintf(stderr, "inplace_norm_create(%s)=%d\n", src, r);
    // The groups can only be checked against the tracks the source holds.
    if (r >= 0 && ctx && !groups.empty()) {
        std::string why;
        if (inplace_norm_set_programmes(ctx, groups, &why) != 0) {
            inplace_norm_destroy(&ctx);
            return lumetrim_refuse(argv0, why);
        }
    }
    if (r > 0) {
        fprintf(stderr, "We have [%d] audio tracks\n", r);
        ctx->show_progress = true;
        ctx->ceiling = ceiling;
        inplace_norm_meters_init(ctx);
        fprintf(stderr, "Reading file\n");
        r = inplace_norm_read(ctx);
        if (r == 0) {
            r = inplace_norm_measure_print(ctx);
            if (files == 3) {
                const char* dst = argv[first + 2];
                if (strcasecmp(argv[first + 1], "auto") == 0)
                    r = inplace_norm_normalize_auto(ctx, dst);
                else
                    r = inplace_norm_normalize(ctx, dst, strtod(argv[first + 1], nullptr));
            }
        }
        inplace_norm_meters_free(ctx);
    }
    if (ctx)
        inplace_norm_destroy(&ctx);
    return r;
}
