#include "driver/options.h"

#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "driver/long_options.h"
#include "driver/option_table.h"
#include "io/fail.h"

void usage() { fail(usage_text().c_str()); }

int clamp_symmetry_level(int level) { return (unsigned)level >= 4u ? 2 : level; }

RunOptions parse_options(int full_argc, char** full_argv) {
    RunOptions options;
    std::vector<char*> rest = take_long_options(full_argc, full_argv, &options);
    const int argc = (int)rest.size();
    rest.push_back(nullptr);
    char** argv = rest.data();
    optind = 0;  // full rescan, so the parser can run more than once in a process
    opterr = 0;  // the usage text is the only diagnostic
    // Every letter takes an attached value, which a flag (-S) ignores.
    std::string letters;
    for (const OptionSpec& option : option_table())
        if (option_is_short(option)) letters += option.name + std::string("::");
    int c;
    while ((c = getopt(argc, argv, letters.c_str())) != -1) {
        const OptionSpec* option = find_short_option((char)c);
        if (!option) usage();
        option->set(&options, {*option, optarg});
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
