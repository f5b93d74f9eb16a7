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
            "\t%s [OPTIONS] <src file> [<auto|<value>> <dst file>]\n"
            "Options:\n"
            "\t-p GROUPS     measure groups of tracks as programmes, by stream index (1-2,3-8)\n"
            "\t-c CEILING    keep each gained true peak at or below CEILING dBTP (at most 0)\n"
            "\t-L            with -c and a target: limit the peaks instead of lowering the gain\n"
            "\t--check SPEC  check against r128, a85 or I:TOL:TP (-16:1:-1); exit status 3 on failure\n"
            "\t-h, --help    show this text\n"
            "\t--version     show the program's name and version\n",
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

bool lumetrim_is_option(const char* arg)
{
    for (const char* o : {"-p", "-c", "-L", "--check", "-h", "--help", "--version"})
        if (std::strcmp(arg, o) == 0)
            return true;
    return false;
}

// What the command line asks for.
struct trim_options {
    const char* program = "lumetrim";
    const char* src = nullptr;
    const char* target_text = nullptr;  // with a destination
    const char* dst = nullptr;
    double target = -23.0;
    std::vector<programme_group> groups;
    double ceiling = NAN;
    bool limit = false;
    bool check = false;
    delivery_spec spec;
};

// Reads the command line into *o. Returns -1 to go on, or the exit status of
// a refusal, the usage or the version.
int lumetrim_parse(int argc, char** argv, trim_options* o)
{
    o->program = argc > 0 ? argv[0] : "lumetrim";
    for (int i = 1; i < argc; ++i) {
        // A file named like these is still reached as ./-h.
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            lumetrim_help(o->program);
            return 1;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            printf("lumetrim %s\n", LUMETOOLS_VERSION);
            return fflush(stdout) == 0 ? 0 : 1;
        }
    }
    // Options come before the file arguments, each at most once.
    const char* groups_text = nullptr;
    const char* ceiling_text = nullptr;
    const char* check_text = nullptr;
    int first = 1;
    for (; first < argc; ++first) {
        const std::string arg = argv[first];
        const char** value = arg == "-p" ? &groups_text
            : arg == "-c"                ? &ceiling_text
            : arg == "--check"           ? &check_text
                                         : nullptr;
        if (value && first + 1 < argc && !lumetrim_is_option(argv[first + 1])) {
            if (*value)
                return lumetrim_refuse(o->program, "Option " + arg + " given twice");
            *value = argv[++first];
        } else if (value) {
            return lumetrim_refuse(o->program, "Option " + arg + " needs a value");
        } else if (arg == "-L") {
            if (o->limit)
                return lumetrim_refuse(o->program, "Option -L given twice");
            o->limit = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            // Before the source only options stand (a file named so is
            // reached as ./-x).
            return lumetrim_refuse(o->program, "Unknown option " + arg);
        } else {
            break;
        }
    }
    // A destination named like an option is reached as ./-L.
    for (int i = first + 1; i < argc; ++i)
        if (lumetrim_is_option(argv[i]))
            return lumetrim_refuse(o->program, std::string("Option ") + argv[i] + " after the files");
    // The values are checked before the files are counted: "--check SRC"
    // names the value it took for a check target.
    if (std::string why; groups_text && !programme_groups_read(groups_text, &o->groups, &why))
        return lumetrim_refuse(o->program, why);
    if (ceiling_text && !lumetrim_parse_ceiling(ceiling_text, &o->ceiling))
        return lumetrim_refuse(o->program, std::string("Invalid true-peak ceiling: ") + ceiling_text);
    if (check_text && !delivery_spec_parse(check_text, &o->spec))
        return lumetrim_refuse(o->program, std::string("Invalid check specification: ") + check_text);
    const int files = argc - first;
    if (files != 1 && files != 3) {
        lumetrim_usage(o->program);
        return 1;
    }
    o->src = argv[first];
    if (files == 3) {
        o->target_text = argv[first + 1];
        o->dst = argv[first + 2];
        if (!lumetrim_parse_target(o->target_text, &o->target)) {
            fprintf(stderr, "Invalid target loudness: %s\n", o->target_text);
            lumetrim_usage(o->program);
            return 1;
        }
    }
    if (o->limit && (!ceiling_text || !o->dst))
        return lumetrim_refuse(o->program, "Option -L needs a ceiling (-c CEILING), a target and a destination");
    if (check_text) {
        o->check = true;
        // auto: the check target's own loudness.
        if (o->target_text && strcasecmp(o->target_text, "auto") == 0)
            o->target = o->spec.loudness;
    }
    return -1;
}

// Measures, and normalises where asked; checks the figures where asked.
// Returns the run's result.
int lumetrim_measure_and_normalize(inplace_norm_ctx* ctx, const trim_options& o)
{
    fprintf(stderr, "Reading file\n");
    int r = inplace_norm_read(ctx);
    if (r != 0)
        return r;
    r = inplace_norm_measure_print(ctx);
    if (!o.dst)
        return o.check && !inplace_norm_check(ctx->measured, o.spec) ? 3 : r;
    if (!inplace_norm_target_reachable(ctx, o.target)) {
        // Known only once the loudness is: refused like any target that is
        // not a number, before anything is written.
        fprintf(stderr, "Invalid target loudness: %s\n", o.target_text);
        lumetrim_usage(o.program);
        return 1;
    }
    if (strcasecmp(o.target_text, "auto") == 0 && !o.check)
        r = inplace_norm_normalize_auto(ctx, o.dst);
    else
        r = inplace_norm_normalize(ctx, o.dst, o.target);
    return r == 0 && o.check && !inplace_norm_check(ctx->written, o.spec) ? 3 : r;
}

}  // namespace

int lumetrim_main(int argc, char** argv)
{
    trim_options o;
    if (const int status = lumetrim_parse(argc, argv, &o); status >= 0)
        return status;
    // A full file-size limit or a closed pipe must come back as a write error
    // (and a clean-up), not end the process half-way.
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    inplace_norm_ctx* ctx = nullptr;
    int r = inplace_norm_create(&ctx, o.src);
    fprintf(stderr, "inplace_norm_create(%s)=%d\n", o.src, r);
    // The groups can only be checked against the tracks the source holds.
    if (r >= 0 && ctx && !o.groups.empty()) {
        std::string why;
        if (inplace_norm_set_programmes(ctx, o.groups, &why) != 0) {
            inplace_norm_destroy(&ctx);
            return lumetrim_refuse(o.program, why);
        }
    }
    if (r > 0) {
        fprintf(stderr, "We have [%d] audio tracks\n", r);
        ctx->show_progress = true;
        ctx->ceiling = o.ceiling;
        ctx->limit = o.limit;
        ctx->meter_result = o.check;
        inplace_norm_meters_init(ctx);
        r = lumetrim_measure_and_normalize(ctx, o);
        inplace_norm_meters_free(ctx);
    } else if (r == 0) {
        // A script that asked for a destination gets one: without a PCM track
        // to rescale it is the source, copied as safely as any destination.
        if (o.dst && (r = inplace_norm_write(ctx, o.dst)) == 0)
            fprintf(stderr, "No PCM track: %s is an unchanged copy\n", o.dst);
        // Nothing measured passes no check.
        if (r == 0 && o.check) {
            fprintf(stderr, "check %s: fail: no PCM track\n", o.spec.name.c_str());
            r = 3;
        }
    }
    if (ctx)
        inplace_norm_destroy(&ctx);
    return r;
}
