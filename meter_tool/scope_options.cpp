#include "scope_options.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

void scope_options_usage()
{
    fprintf(stderr, "Usage:\n\tlumescope [-t|-j] <input file>\n\n");
}

namespace {

bool scope_options_is_later(const char* arg)
{
    for (const char* o : {"-p", "--plot", "--series", "--check"})
        if (std::strcmp(arg, o) == 0)
            return true;
    return false;
}

bool scope_options_is_option(const char* arg)
{
    return scope_options_is_later(arg) || std::strcmp(arg, "-t") == 0 || std::strcmp(arg, "-j") == 0;
}

// Why the option parsing stopped at argv[i], before the input: an option
// given twice, one without its value, one unknown, one after the input it
// came to; empty for anything else.
std::string scope_options_fault(const scope_options& opts, int argc, char** argv, int i, bool mode_given)
{
    const std::string a = argv[i];
    if ((a == "-t" || a == "-j") && mode_given)
        return "Options -t and -j are given together or twice";
    if ((a == "-p" && opts.groups) || (a == "--plot" && opts.plot_path) || (a == "--series" && opts.series) ||
        (a == "--check" && opts.check))
        return "Option " + a + " given twice";
    if (a == "-p" || a == "--plot" || a == "--check")
        return "Option " + a + " needs a value before the input";
    if (a.size() > 1 && a[0] == '-')
        return "Unknown option " + a;
    for (int j = i + 1; j < argc; ++j)
        if (scope_options_is_option(argv[j]))
            return std::string("Option ") + argv[j] + " after the input";
    return {};
}

// An option's value: the next argument, unless it is the input or an option.
bool scope_options_value_at(int argc, char** argv, int i)
{
    return i + 1 < argc - 1 && !scope_options_is_option(argv[i + 1]);
}

}  // namespace

int scope_options_parse(int argc, char** argv, scope_options* opts, std::string* why)
{
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        opts->version = true;
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "-h") != 0 && std::strcmp(argv[1], "--help") != 0) {
        opts->path = argv[1];
    } else if (argc >= 3) {
        // Options come before the input: at most one of -t and -j, and each
        // other option at most once.
        bool mode_given = false;
        int i = 1;
        for (; i < argc - 1; ++i) {
            if ((std::strcmp(argv[i], "-t") == 0 || std::strcmp(argv[i], "-j") == 0) && !mode_given) {
                opts->mode = argv[i][1] == 'j' ? report_mode::json : report_mode::text;
                mode_given = true;
            } else if (std::strcmp(argv[i], "-p") == 0 && !opts->groups && scope_options_value_at(argc, argv, i)) {
                opts->groups = argv[++i];
            } else if (std::strcmp(argv[i], "--plot") == 0 && !opts->plot_path &&
                       scope_options_value_at(argc, argv, i)) {
                opts->plot_path = argv[++i];
            } else if (std::strcmp(argv[i], "--series") == 0 && !opts->series) {
                opts->series = true;
            } else if (std::strcmp(argv[i], "--check") == 0 && !opts->check && scope_options_value_at(argc, argv, i)) {
                opts->check = argv[++i];
            } else {
                break;
            }
        }
        // Without the later options only the one option the meter always
        // took is accepted.
        const bool later = opts->groups || opts->plot_path || opts->series || opts->check;
        if (i == argc - 1 && (later || argc == 3))
            opts->path = argv[argc - 1];
        else if (i < argc - 1 && (later || std::any_of(argv + 1, argv + argc - 1, scope_options_is_later)))
            // A command line with the later options says what is wrong with it
            // before the usage; the meter's own cases keep the usage alone.
            *why = scope_options_fault(*opts, argc, argv, i, mode_given);
        if (!why->empty())
            return 2;
    }
    if (!opts->path)
        return 1;
    if (opts->series && opts->mode != report_mode::json) {
        *why = "--series needs the JSON report (-j)";
        return 2;
    }
    // A slip in a script's arguments must not turn the media into a picture.
    struct stat plot_st, input_st;
    if (opts->plot_path && stat(opts->plot_path, &plot_st) == 0 && stat(opts->path, &input_st) == 0 &&
        S_ISREG(plot_st.st_mode) && plot_st.st_dev == input_st.st_dev && plot_st.st_ino == input_st.st_ino) {
        *why = std::string("The picture would replace the input: ") + opts->plot_path;
        return 2;
    }
    return 0;
}

std::string scope_options_url(const scope_options& opts)
{
    // FFmpeg's own tools read "-" as the standard input; its file protocol
    // would look for a file of that name.
    return std::strcmp(opts.path, "-") == 0 ? "pipe:0" : opts.path;
}
