// The lumetrim driver: command line, one normalisation, result as exit status.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <strings.h>

#include "inplace_norm.h"

int lumetrim_main(int argc, char** argv)
{
    if (argc != 2 && argc != 4) {
        fprintf(stderr, "Please specify arguments.\nUsage:\n\t%s <src file> [<auto|<value>> <dst file>]\n",
                argc > 0 ? argv[0] : "lumetrim");
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
                    r = inplace_norm_normalize(ctx, dst, strtod(argv[2], nullptr));
            }
        }
        inplace_norm_meters_free(ctx);
    }
    if (ctx)
        inplace_norm_destroy(&ctx);
    return r;
}
