// The lumetrim driver: command line, one normalisation, result as exit status.
#include <cctype>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

#include "inplace_norm.h"

namespace {

void lumetrim_usage(const char* program)
{
    fprintf(stderr, "Please specify arguments.\nUsage:\n\t%s <src file> [<auto|<value>> <dst file>]\n", program);
}

// What -h and --help show: the usage with every option.
void lumetrim_help(const char* program)
{
    fprintf(stderr,
            "Usage:\n"
            "\t%s [-p GROUPS] [-c CEILING] <src file> [<auto|<value>> <dst file>]\n"
            "Options:\n"
            "\t-p GROUPS    measure groups of tracks as programmes, by stream index (1-2,3-8)\n"
            "\t-c CEILING   keep each gained true peak at or below CEILING dBTP (at most 0)\n"
            "\t-h, --help   show this text\n"
            "\t--version    show the program's name and version\n",
            program);
}

// The target in LUFS: "auto" in any case, or a whole finite decimal number.
// Anything else (a typo such as --23, a word, nan, a hexadecimal number) is
// refused rather than read as 0 LUFS.
bool lumetrim_parse_target(const char* text, double* target)
{
    if (strcasecmp(text, "auto") == 0) {
        *target = -23.0;
        return true;
    }
    const char first = text[0];
    if (!(std::isdigit(static_cast<unsigned char>(first)) || first == '+' || first == '-' || first == '.'))
        return false;
    if (std::strpbrk(text, "xXpP") != nullptr)
        return false;
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(value))
        return false;
    *target = value;
    return true;
}

// A refused option: its one-line diagnostic, then the usage.
int lumetrim_refuse(const char* program, const std::string& why)
{
    fprintf(stderr, "%s\n", why.c_str());
    lumetrim_usage(program);
    return 1;
}

// A ceiling in dBTP: a whole finite decimal number like a target, at most 0
// (above full scale a ceiling could not keep samples from clipping).
bool lumetrim_parse_ceiling(const char* text, double* ceiling)
{
    double value = 0;
    if (strcasecmp(text, "auto") == 0 || !lumetrim_parse_target(text, &value) || value > 0)
        return false;
    *ceiling = value + 0.0;  // -0 is 0
    return true;
}

}  // namespace

int lumetrim_main(int argc, char** argv)
{
    const char* program = argc > 0 ? argv[0] : "lumetrim";
    // Options come before the file arguments.
    const char* groups_text = nullptr;
    const char* ceiling_text = nullptr;
    int first = 1;
    for (int i = 1; i < argc; ++i) {
        // A file named like these is still reached as ./-h.
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            lumetrim_help(program);
            return 1;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            printf("lumetrim %s\n", LUMETOOLS_VERSION);
            return fflush(stdout) == 0 ? 0 : 1;
        }
    }
    while (first + 1 < argc && (std::strcmp(argv[first], "-p") == 0 || std::strcmp(argv[first], "-c") == 0)) {
        const char*& value = argv[first][1] == 'p' ? groups_text : ceiling_text;
        if (value)
            return lumetrim_refuse(program, std::string("Option ") + argv[first] + " given twice");
        value = argv[first + 1];
        first += 2;
    }
    const int files = argc - first;
    if (files != 1 && files != 3) {
        lumetrim_usage(program);
        return 1;
    }
    double target = 0;
    if (files == 3 && !lumetrim_parse_target(argv[first + 1], &target)) {
        fprintf(stderr, "Invalid target loudness: %s\n", argv[first + 1]);
        lumetrim_usage(program);
        return 1;
    }
    std::vector<programme_group> groups;
    if (groups_text && programme_groups_parse(groups_text, &groups) != 0)
        return lumetrim_refuse(program, std::string("Invalid programme groups: ") + groups_text);
    if (const int s = programme_groups_overlap(groups); s >= 0)
        return lumetrim_refuse(program, "Stream #" + std::to_string(s) + " is in more than one programme group");
    double ceiling = NAN;
    if (ceiling_text && !lumetrim_parse_ceiling(ceiling_text, &ceiling))
        return lumetrim_refuse(program, std::string("Invalid true-peak ceiling: ") + ceiling_text);
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
            return lumetrim_refuse(program, why);
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
            if (files == 3 && !inplace_norm_target_reachable(ctx, target)) {
                // Known only once the loudness is: refused like any target
                // that is not a number, before anything is written.
                fprintf(stderr, "Invalid target loudness: %s\n", argv[first + 1]);
                lumetrim_usage(program);
                r = 1;
            } else if (files == 3) {
                const char* dst = argv[first + 2];
                if (strcasecmp(argv[first + 1], "auto") == 0)
                    r = inplace_norm_normalize_auto(ctx, dst);
                else
                    r = inplace_norm_normalize(ctx, dst, target);
            }
        }
        inplace_norm_meters_free(ctx);
    } else if (r == 0 && files == 3) {
        // A script that asked for a destination gets one: without a PCM track
        // to rescale it is the source, copied as safely as any destination.
        const char* dst = argv[first + 2];
        r = inplace_norm_write(ctx, dst);
        if (r == 0)
            fprintf(stderr, "No PCM track: %s is an unchanged copy\n", dst);
    }
    if (ctx)
        inplace_norm_destroy(&ctx);
    return r;
}
