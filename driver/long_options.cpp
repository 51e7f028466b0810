#include "driver/long_options.h"

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/io_options.h"
#include "driver/option_numbers.h"
#include "driver/section_list.h"
#include "driver/slice_range.h"
#include "io/fail.h"

#ifndef SKARBEL_VERSION
#define SKARBEL_VERSION "unknown"
#endif

const char* const help_text =
    "Usage:\t skarbel [-z thickness] [-g gpu] [-s symmetry_level] [-S] [-i sirt_iterations] "
    "<tilt_file> <input_tiltseries> <output_rec3d> \n"
    "Reconstructs a volume from a single-axis tilt series, one slice per row of the stack.\n"
    "\n"
    "Options (values attached: -z256, --exclude=1-3,60; the last occurrence wins):\n"
    "  -z<thickness>          height of every slice in pixels (default: NX of the stack)\n"
    "  -g<gpu>                device number; negative chooses (default -1)\n"
    "  -s<symmetry_level>     WBP symmetry level 0-3; other values mean 2 (default 2)\n"
    "  -S                     reconstruct by SIRT instead of WBP (default: WBP)\n"
    "  -i<sirt_iterations>    SIRT iterations per slice (default 30)\n"
    "  --exclude=LIST         leave out stack sections, numbered from 1 as the tilt file's lines,\n"
    "                         e.g. 1-3,60 (default: none)\n"
    "  --radial=CUTOFF,SIGMA  WBP filter: keep frequencies up to CUTOFF cycles/sample (0 < CUTOFF <= 0.5),\n"
    "                         Gaussian fall-off of width SIGMA >= 0 above (default: Hamming taper)\n"
    "  --sirt-like=N          WBP filter that imitates N SIRT iterations (-S -iN) for this run's tilts,\n"
    "                         thickness and width: SIRT's noise and low-frequency contrast in one pass,\n"
    "                         not its confinement to the slab (slice edges, the missing wedge of a\n"
    "                         limited tilt range differ); N >= 1; not with -S; --radial tapers it\n"
    "                         (default: the ramp)\n"
    "  --slices=FIRST,LAST    reconstruct only slices FIRST to LAST, numbered from 0 as the stack's rows\n"
    "                         (default: all); the output's NZSTART is FIRST\n"
    "  --batch=N              slices reconstructed per pass over the matrix, 1 to 65536; the output\n"
    "                         is the same for every N (default: chosen for the device and the sizes)\n"
    "  --offset=DELANG[,DELXX] add DELANG degrees to every tilt angle; the tilt axis crosses the\n"
    "                         detector DELXX pixels right of its centre (default 0,0)\n"
    "  --shift=DX[,DZ]        move the reconstruction DX pixels along X and DZ along the thickness:\n"
    "                         a point at column i, row j appears at i + DX, j + DZ (default 0,0)\n"
    "  --width=W              slices W pixels wide, centred on the tilt axis (default: NX of the stack)\n"
    "  --xaxis-tilt=A         the specimen is tilted A degrees about the X axis ((Y,Z) to\n"
    "                         (Y cos A - Z sin A, Y sin A + Z cos A)), |A| < 90; the output shows it\n"
    "                         flat (default 0)\n"
    "  --bin=N                average the projections over N x N blocks as they are read; -z, --width,\n"
    "                         --shift and DELXX stay in pixels of the stack as stored, --slices counts\n"
    "                         binned rows (default 1)\n"
    "  --estimate             check the inputs and select the device as a run would, then print the\n"
    "                         memory of every method, the output size and the free space beside it\n"
    "                         instead of running\n"
    "  --log=OFFSET           replace every input sample v by ln(v + OFFSET) before the reconstruction;\n"
    "                         v + OFFSET must be positive (default: samples as they are)\n"
    "  --mode=M               output MODE: 1 (16-bit integers), 2 (32-bit floats), 6 (16-bit unsigned\n"
    "                         integers) or 12 (16-bit floats); integers round half away from zero and\n"
    "                         clamp to the type, 12 rounds to nearest even and clamps beyond +-65504\n"
    "                         (default 2)\n"
    "  --scale=ADD,MULT       every output sample becomes (v + ADD) * MULT before the conversion\n"
    "                         (default 0,1)\n"
    "  --rotx                 write XY sections: NX x slices x thickness, section k holding row\n"
    "                         thickness - 1 - k of every slice (default: one XZ section per slice)\n"
    "  --position[=BIN]       find the specimen in the search range -z with a WBP preview binned by BIN\n"
    "                         (default: the smallest power of two bringing the width to 512 or fewer),\n"
    "                         print what it found and the equivalent options, and reconstruct it flat\n"
    "                         and tight: DELANG and --xaxis-tilt added to, DZ and -z set (default: off)\n"
    "  --position-margin=PIXELS pixels added to the thickness found (default: 10 %, at least 8)\n"
    "  --position-only        as --position, but print the position and the options instead of running\n"
    "  --help                 this text\n"
    "  --version              program name and version\n"
    "\n"
    "Files:\n"
    "  tilt_file         text, one angle in degrees per line (the first number of the line);\n"
    "                    line i belongs to section i of the stack, at least NZ lines\n"
    "  input_tiltseries  MRC stack, MODE 0, 1 or 2, either byte order;\n"
    "                    section i is the projection at the angle of line i\n"
    "  output_rec3d      MRC volume, MODE 2 floats (or --mode), NX x thickness x NY;\n"
    "                    section y is the slice reconstructed from row y of the stack (or --rotx)\n";

namespace {

// --batch=N: a whole number of slices from 1 to 65536.
int parse_batch(const char* value) {
    const long n = whole_number(value, 1, 65536);
    if (n < 0)
        failf("Bad --batch value \"%s\": expected a number of slices from 1 to 65536.\n\n", value);
    return (int)n;
}

// --sirt-like=N: a whole number of iterations from 1 to 1000000.
int parse_sirt_like(const char* value) {
    const long n = whole_number(value, 1, 1000000);
    if (n < 0)
        failf("Bad --sirt-like value \"%s\": expected a number of SIRT iterations from 1 to 1000000.\n\n", value);
    return (int)n;
}

RadialTaper parse_radial(const char* value) {
    const char* expected = "expected CUTOFF,SIGMA with 0 < CUTOFF <= 0.5 and SIGMA >= 0";
    const std::string text = value;
    const size_t comma = text.find(',');
    RadialTaper taper{};
    if (comma == std::string::npos || !finite_number(text.substr(0, comma), &taper.cutoff) ||
        !finite_number(text.substr(comma + 1), &taper.sigma))
        failf("Bad --radial value \"%s\": not two numbers separated by a comma; %s.\n\n", value, expected);
    if (!(taper.cutoff > 0 && taper.cutoff <= 0.5))
        failf("Bad --radial value \"%s\": CUTOFF out of range; %s.\n\n", value, expected);
    if (!(taper.sigma >= 0)) failf("Bad --radial value \"%s\": SIGMA out of range; %s.\n\n", value, expected);
    return taper;
}

struct LongOption {
    const char* name;
    bool takes_value;  // then given as --name=value
    void (*apply)(RunOptions* options, const char* value);
    bool value_optional = false;  // --name alone passes a null value
};

// --position[=BIN]: a whole number of pixels, at least 1.
void parse_position(RunOptions* o, const char* value) {
    o->position = true;
    if (!value) return;
    const long n = whole_number(value, 1, INT_MAX);
    if (n < 1) failf("Bad --position value \"%s\": expected a bin, a whole number of pixels, at least 1.\n\n", value);
    o->position_bin = (int)n;
}

double parse_position_margin(const char* value) {
    double margin = 0;
    if (!finite_number(value, &margin) || margin < 0)
        failf("Bad --position-margin value \"%s\": expected a number of pixels, at least 0.\n\n", value);
    return margin;
}

const LongOption long_options[] = {
    // A finished run (status 0): the main prints the text on standard output.
    {"help", false, [](RunOptions*, const char*) { throw RunError(help_text, 0); }},
    {"version", false, [](RunOptions*, const char*) { throw RunError("skarbel " SKARBEL_VERSION "\n", 0); }},
    {"exclude", true, [](RunOptions* o, const char* v) { o->exclude = parse_section_list(v); }},
    {"radial", true, [](RunOptions* o, const char* v) { o->radial = parse_radial(v); }},
    {"sirt-like", true, [](RunOptions* o, const char* v) { o->sirt_like = parse_sirt_like(v); }},
    {"slices", true, [](RunOptions* o, const char* v) { o->slices = parse_slice_range(v); }},
    {"batch", true, [](RunOptions* o, const char* v) { o->batch = parse_batch(v); }},
    {"offset", true, [](RunOptions* o, const char* v) { parse_offset(v, &o->alignment); }},
    {"shift", true, [](RunOptions* o, const char* v) { parse_shift(v, &o->alignment); }},
    {"width", true, [](RunOptions* o, const char* v) { o->alignment.width = parse_width(v); }},
    {"xaxis-tilt", true, [](RunOptions* o, const char* v) { o->alignment.xaxis_tilt = parse_xaxis_tilt(v); }},
    {"bin", true, [](RunOptions* o, const char* v) { o->alignment.bin = parse_bin(v); }},
    {"estimate", false, [](RunOptions* o, const char*) { o->estimate = true; }},
    {"log", true, [](RunOptions* o, const char* v) { o->log_offset = parse_log_offset(v); }},
    {"mode", true, [](RunOptions* o, const char* v) { o->output.mode = parse_output_mode(v); }},
    {"scale", true, [](RunOptions* o, const char* v) { parse_output_scale(v, &o->output.add, &o->output.mult); }},
    {"rotx", false, [](RunOptions* o, const char*) { o->rotx = true; }},
    {"position", true, parse_position, true},
    {"position-margin", true, [](RunOptions* o, const char* v) { o->position_margin = parse_position_margin(v); }},
    {"position-only", false, [](RunOptions* o, const char*) { o->position = o->position_only = true; }},
};

}  // namespace

void apply_long_option(const char* arg, RunOptions* options) {
    const char* equals = strchr(arg, '=');
    const std::string name(arg + 2, equals ? (size_t)(equals - arg - 2) : strlen(arg + 2));
    for (const LongOption& option : long_options) {
        if (name != option.name) continue;
        if (option.takes_value && !equals && !option.value_optional) failf("Option --%s needs a value: --%s=...\n\n", option.name, option.name);
        if (!option.takes_value && equals) failf("Option --%s takes no value.\n\n", option.name);
        option.apply(options, equals ? equals + 1 : nullptr);
        return;
    }
    failf("Unknown option --%s.\n%s", name.c_str(), usage_text);
}

std::vector<char*> take_long_options(int argc, char** argv, RunOptions* options) {
    std::vector<char*> rest(argv, argv + (argc > 0 ? 1 : 0));
    bool options_ended = false;
    for (int i = 1; i < argc; ++i) {
        const bool is_long = !options_ended && strncmp(argv[i], "--", 2) == 0 && argv[i][2] != '\0';
        if (strcmp(argv[i], "--") == 0) options_ended = true;
        if (is_long)
            apply_long_option(argv[i], options);
        else
            rest.push_back(argv[i]);
    }
    return rest;
}
