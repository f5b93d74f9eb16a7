// The lumetrim driver: command line, one normalisation, result as exit status.
#include <cctype>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "inplace_norm.h"

namespace {

void lumetrim_usage(const char* program)
{
    fprintf(stderr, "Please specify arguments.\nUsage:\n\t%s <src file> [<auto|<value>> <dst file>]\n", program);
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

}  // namespace

int lumetrim_main(int argc, char** argv)
{
    const char* program = argc > 0 ? argv[0] : "lumetrim";
    if (argc != 2 && argc != 4) {
        lumetrim_usage(program);
        return 1;
    }
    double target = 0;
    if (argc == 4 && !lumetrim_parse_target(argv[2], &target)) {
        fprintf(stderr, "Invalid target loudness: %s\n", argv[2]);
        lumetrim_usage(program);
        return 1;
    }
    // A full file-size limit or a closed pipe must come back as a write error
    // (and a clean-up), not end the process half-way.
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    const char* src = argv[1];
    inplace_norm_ctx* ctx = nullptr;
    int r = inplace_norm_create(&ctx, src);
    fprintf(stderr, "inplace_norm_create(%s)=%d\n", src, r);
    if (r > 0) {
        fprintf(stderr, "We have [%d] audio tracks\n", r);
        ctx->show_progress = true;
        inplace_norm_meters_init(ctx);
        fprintf(stderr, "Reading file\n");
        r = inplace_norm_read(ctx);
        if (r == 0) {
            r = inplace_norm_measure_print(ctx);
            if (argc == 4) {
                const char* dst = argv[3];
                if (strcasecmp(argv[2], "auto") == 0)
                    r = inplace_norm_normalize_auto(ctx, dst);
                else
                    r = inplace_norm_normalize(ctx, dst, target);
            }
        }
        inplace_norm_meters_free(ctx);
    } else if (r == 0 && argc == 4) {
        // A script that asked for a destination gets one: without a PCM track
        // to rescale it is the source, copied as safely as any destination.
        const char* dst = argv[3];
        r = inplace_norm_write(ctx, dst);
        if (r == 0)
            fprintf(stderr, "No PCM track: %s is an unchanged copy\n", dst);
    }
    if (ctx)
        inplace_norm_destroy(&ctx);
    return r;
}
