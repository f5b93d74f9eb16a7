#include "lumescope.h"

#include <cstring>
#include <string>
#include <vector>

#include "dst_file.h"
#include "file_io.h"
#include "measurement.h"
#include "scope_decode.h"
#include "scope_options.h"
#include "scope_report.h"

namespace {

// A refused option: its one-line diagnostic, then the usage.
int lumescope_refuse(const std::string& why)
{
    fprintf(stderr, "%s\n", why.c_str());
    scope_options_usage();
    return 1;
}

// Writes the picture whole through a temporary file, or not at all. Returns 0
// or -errno.
int lumescope_write_file(const char* path, const std::string& text)
{
    dst_file dst;
    if (const int err = dst_open(path, true, &dst); err != 0)
        return err;
    if (const int err = file_write_all(dst.fd, reinterpret_cast<const uint8_t*>(text.data()), text.size()); err != 0) {
        dst_discard(&dst);
        return err;
    }
    return dst_commit(&dst);
}

// Meters the programmes whose tracks lie too far apart in the input to be
// lined up in one pass. Returns false with the diagnostic printed when the
// input cannot be opened again.
bool lumescope_read_back(const scope_input& in, measurement* m)
{
    for (size_t p = 0; p < m->programmes.size(); ++p)
        if (m->programmes[p].read_back && !scope_input_read_back(in, m, p)) {
            fprintf(stderr, "Failed to read %s again for programme %s\n", in.path, m->programmes[p].name.c_str());
            return false;
        }
    return true;
}

}  // namespace

int lumescope_run(int argc, char** argv, FILE* out, unsigned threads)
{
    lumescope_settings settings;
    settings.threads = threads;
    return lumescope_run_with(argc, argv, out, settings);
}

int lumescope_run_with(int argc, char** argv, FILE* out, const lumescope_settings& settings)
{
    scope_options opts;
    std::string why;
    switch (scope_options_parse(argc, argv, &opts, &why)) {
    case 0: break;
    case 1: scope_options_usage(); return 1;
    default: return lumescope_refuse(why);
    }
    if (opts.version) {
        fprintf(out, "lumescope %s\n", LUMETOOLS_VERSION);
        return fflush(out) == 0 ? 0 : 1;
    }
    delivery_spec spec;
    if (opts.check && !delivery_spec_parse(opts.check, &spec))
        return lumescope_refuse(std::string("Invalid check specification: ") + opts.check);
    std::vector<programme_group> groups;
    if (opts.groups && !programme_groups_read(opts.groups, &groups, &why))
        return lumescope_refuse(why);

    avformat_network_init();
    scope_input in;
    if (scope_input_open(&in, opts.path, scope_options_url(opts)) != 0)
        return 1;
    measurement m;
    measurement_init(&m, in.input->nb_streams);
    m.threads = settings.threads;
    m.programme_queue_bytes = settings.programme_queue_bytes;
    scope_input_select(&in, &m);
    if (m.tracks.empty()) {
        fprintf(stderr, "No audiotracks found\n");
        return 1;
    }
    if (measurement_set_programmes(&m, groups, "audio", &why) != 0)
        return lumescope_refuse(why);
    // Readings every 100 ms cost 12 bytes each per track and programme: kept
    // only when they are shown.
    if (opts.series || opts.plot_path)
        measurement_keep_series(&m);
    if (scope_input_decode(&in, &m) != 0 || !lumescope_read_back(in, &m))
        return 1;
    measurement_finish(&m);

    scope_report_non_finite(m);
    const delivery_spec* check = opts.check ? &spec : nullptr;
    if (const int err = scope_write_report(out, opts.path, m, opts.mode, opts.series, check); err != 0) {
        fprintf(stderr, "Failed to write the report: %s\n", strerror(err));
        return 1;
    }
    if (opts.plot_path) {
        if (const int err = lumescope_write_file(opts.plot_path, scope_plot(opts.path, m)); err != 0) {
            fprintf(stderr, "Failed to write %s: %s\n", opts.plot_path, strerror(-err));
            return 1;
        }
    }
    // The report is complete either way; a failed check tells in the status.
    return check && !scope_check_passes(m, spec) ? 3 : 0;
}

int lumescope_main(int argc, char** argv)
{
    return lumescope_run(argc, argv, stdout, 0);
}
