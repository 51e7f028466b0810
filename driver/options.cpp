#include "driver/options.h"

#include <getopt.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "driver/long_options.h"
#include "io/fail.h"

const char* const usage_text =
    "\nUsage:\t skarbel [-z thickness] [-g gpu] [-s symmetry_level] [-S] [-i sirt_iterations] "
    "<tilt_file> <input_tiltseries> <output_rec3d> \n\n";

void usage() { fail(usage_text); }

int clamp_symmetry_level(int level) { return (unsigned)level >= 4u ? 2 : level; }

namespace {

// Base-10 value of an option; a letter without an attached value is a usage
// error, and a value beyond 32 bits is refused rather than wrapped.
int option_value(char letter, const char* text) {
    if (!text) usage();
    const long value = strtol(text, nullptr, 10);
    if (value < INT32_MIN || value > INT32_MAX)
        failf("Value of option -%c out of range: %s (it must fit a 32-bit integer).\n\n", letter, text);
    return (int)value;
}

}  // namespace

RunOptions parse_options(int full_argc, char** full_argv) {
    RunOptions options;
    std::vector<char*> rest = take_long_options(full_argc, full_argv, &options);
    const int argc = (int)rest.size();
    rest.push_back(nullptr);
    char** argv = rest.data();
    optind = 0;  // full rescan, so the parser can run more than once in a process
    opterr = 0;  // the usage text is the only diagnostic
    int c;
    while ((c = getopt(argc, argv, "z::g::s::i::S::")) != -1) {
        switch (c) {
            case 'S': options.sirt = true; break;
            case 'g': options.gpu = option_value((char)c, optarg); break;
            case 'i': options.iterations = option_value((char)c, optarg); break;
            case 's': options.symmetry_level = option_value((char)c, optarg); break;
            case 'z':
                options.thickness_given = true;
                options.thickness = option_value((char)c, optarg);
                break;
            default: usage();
        }
    }
    if (argc - optind < 3) usage();
    check_options(&options);
    options.tilt_file = argv[optind];
    options.input_file = argv[optind + 1];
    options.output_file = argv[optind + 2];
    return options;
}

void check_options(RunOptions* options_in) {
    RunOptions& options = *options_in;
    if (options.thickness_given && options.thickness < 1)
        failf("Thickness must be at least 1 pixel (got %d).\n\n", options.thickness);
    if (options.sirt && options.sirt_like > 0)
        fail("Options -S and --sirt-like exclude each other: --sirt-like shapes the filter of a weighted "
             "back-projection (drop -S), -S runs SIRT itself (drop --sirt-like).\n\n");
    if (!options.sirt) options.symmetry_level = clamp_symmetry_level(options.symmetry_level);
}

void print_method_line(const RunOptions& options) {
    if (options.sirt)
        printf("[SIRT]Iterations: %d\n", options.iterations);
    else
        printf("[WBP]Symmetry level: %d\n", options.symmetry_level);
}
