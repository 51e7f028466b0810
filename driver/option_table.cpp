#include "driver/option_table.h"

#include <climits>
#include <cmath>
#include <cstring>

#include "io/fail.h"

#ifndef SKARBEL_VERSION
#define SKARBEL_VERSION "unknown"
#endif

namespace {

using V = OptionValue;
using K = KeywordType;
using Arg = OptionArgument;

void set_radial(RunOptions* o, const Arg& v) {
    RadialTaper taper{};
    v.two_numbers(&taper.cutoff, &taper.sigma, false, "not two numbers separated by a comma");
    if (!(taper.cutoff > 0 && taper.cutoff <= 0.5)) v.bad("CUTOFF out of range");
    if (!(taper.sigma >= 0)) v.bad("SIGMA out of range");
    o->radial = taper;
}

void set_offset(RunOptions* o, const Arg& v) {
    double angle = 0, axis = 0;
    v.two_numbers(&angle, &axis, true);
    o->alignment.angle_offset = angle;
    o->alignment.axis_offset = axis;
}

void set_shift(RunOptions* o, const Arg& v) {
    double dx = 0, dz = 0;
    v.two_numbers(&dx, &dz, true);
    o->alignment.shift_x = dx;
    o->alignment.shift_z = dz;
}

void set_output_mode(RunOptions* o, const Arg& v) {
    for (int mode : {1, 2, 6, 12})
        if (std::to_string(mode) == v.text) {
            o->output.mode = mode;
            return;
        }
    v.bad();
}

const OptionSpec options[] = {
    {"z", V::required, "thickness", "height of every slice in pixels", "NX of the stack", "pixels", nullptr,
     [](RunOptions* o, const Arg& v) {
         o->thickness_given = true;
         o->thickness = v.int32();
     },
     {"thickness", K::integer, "None", "slice height; lengths are in pixels of the stack as stored"}},
    {"g", V::required, "gpu", "device number; negative chooses", "-1", nullptr, nullptr,
     [](RunOptions* o, const Arg& v) { o->gpu = v.int32(); }, {"gpu", K::integer, "-1", "device number; negative chooses"}},
    {"s", V::required, "symmetry_level", "WBP symmetry level 0-3; other values mean 2", "2", nullptr, nullptr,
     [](RunOptions* o, const Arg& v) { o->symmetry_level = v.int32(); },
     {"level", K::integer, "2", "WBP symmetry level 0-3; other values mean 2"}},
    {"S", V::none, nullptr, "reconstruct by SIRT instead of WBP", "WBP", nullptr, nullptr,
     [](RunOptions* o, const Arg&) { o->sirt = true; },
     {"method", K::method, "\"wbp\"", "\"wbp\" (weighted back-projection) or \"sirt\""}},
    {"i", V::required, "sirt_iterations", "SIRT iterations per slice", "30", nullptr, nullptr,
     [](RunOptions* o, const Arg& v) { o->iterations = v.int32(); },
     {"iterations", K::integer, "30", "SIRT iterations per slice"}},
    {"exclude", V::required, "LIST",
     "leave out stack sections, numbered from 1 as the tilt file's lines,\ne.g. 1-3,60", "none", nullptr, nullptr,
     [](RunOptions* o, const Arg& v) { o->exclude = parse_section_list(v.text); },
     {"exclude", K::value, "None", "stack sections left out, numbered from 1: \"1-3,60\" or [1, 2, \"5-7\"]"}},
    {"radial", V::required, "CUTOFF,SIGMA",
     "WBP filter: keep frequencies up to CUTOFF cycles/sample (0 < CUTOFF <= 0.5),\n"
     "Gaussian fall-off of width SIGMA >= 0 above",
     "Hamming taper", "cycles/sample", "CUTOFF,SIGMA with 0 < CUTOFF <= 0.5 and SIGMA >= 0", set_radial,
     {"radial", K::value, "None", "WBP filter (cutoff, sigma), 0 < cutoff <= 0.5, sigma >= 0"}},
    {"sirt-like", V::required, "N",
     "WBP filter that imitates N SIRT iterations (-S -iN) for this run's tilts,\n"
     "thickness and width: SIRT's noise and low-frequency contrast in one pass,\n"
     "not its confinement to the slab (slice edges, the missing wedge of a\n"
     "limited tilt range differ); N >= 1; not with -S; --radial tapers it\n",
     "the ramp", "iterations", "a number of SIRT iterations from 1 to 1000000",
     [](RunOptions* o, const Arg& v) { o->sirt_like = (int)v.whole(1, 1000000); },
     {"sirt_like", K::value, "None", "WBP filter imitating N SIRT iterations, N >= 1; not with method=\"sirt\""}},
    {"slices", V::required, "FIRST,LAST",
     "reconstruct only slices FIRST to LAST, numbered from 0 as the stack's rows\n"
     "{default}; the output's NZSTART is FIRST",
     "all", "rows of the stack", "FIRST,LAST, slice numbers from 0 with FIRST <= LAST",
     [](RunOptions* o, const Arg& v) {
         SliceRange range;
         if (!parse_slice_range(v.text, &range)) v.bad();
         o->slices = range;
     },
     {"slices", K::value, "None", "(first, last): only these slices, numbered from 0 as the stack's rows"}},
    {"batch", V::required, "N",
     "slices reconstructed per pass over the matrix, 1 to 65536; the output\nis the same for every N",
     "chosen for the device and the sizes", "slices", "a number of slices from 1 to 65536",
     [](RunOptions* o, const Arg& v) { o->batch = (int)v.whole(1, 65536); },
     {"batch", K::value, "None", "slices per pass over the matrix, 1 to 65536; same result for every value"}},
    {"offset", V::required, "DELANG[,DELXX]",
     "add DELANG degrees to every tilt angle; the tilt axis crosses the\ndetector DELXX pixels right of its centre",
     "0,0", "degrees, pixels", "DELANG[,DELXX], finite numbers of degrees and pixels", set_offset,
     {"offset", K::value, "None",
      "DELANG or (DELANG, DELXX): degrees added to every angle, tilt axis DELXX pixels\n"
      "right of the detector's centre"}},
    {"shift", V::required, "DX[,DZ]",
     "move the reconstruction DX pixels along X and DZ along the thickness:\n"
     "a point at column i, row j appears at i + DX, j + DZ",
     "0,0", "pixels", "DX[,DZ], finite numbers of pixels", set_shift,
     {"shift", K::value, "None", "DX or (DX, DZ): the reconstruction moved along X and the thickness"}},
    {"width", V::required, "W", "slices W pixels wide, centred on the tilt axis", "NX of the stack", "pixels",
     "a whole number of pixels, at least 1",
     [](RunOptions* o, const Arg& v) { o->alignment.width = (int)v.whole(1, INT_MAX); },
     {"width", K::value, "None", "slice width W, centred on the tilt axis"}},
    {"xaxis-tilt", V::required, "A",
     "the specimen is tilted A degrees about the X axis ((Y,Z) to\n"
     "(Y cos A - Z sin A, Y sin A + Z cos A)), |A| < 90; the output shows it\nflat",
     "0", "degrees", "degrees greater than -90 and less than 90",
     [](RunOptions* o, const Arg& v) {
         const double angle = v.finite();
         if (!(std::fabs(angle) < 90)) v.bad();
         o->alignment.xaxis_tilt = angle;
     },
     {"xaxis_tilt", K::value, "None", "the specimen's tilt A about the X axis, |A| < 90"}},
    {"bin", V::required, "N",
     "average the projections over N x N blocks as they are read; -z, --width,\n"
     "--shift and DELXX stay in pixels of the stack as stored, --slices counts\nbinned rows",
     "1", "pixels", "a whole number of pixels, at least 1",
     [](RunOptions* o, const Arg& v) { o->alignment.bin = (int)v.whole(1, INT_MAX); },
     {"bin", K::value, "None", "average the projections over N x N blocks; lengths stay in stack pixels"}},
    {"estimate", V::none, nullptr,
     "check the inputs and select the device as a run would, then print the\n"
     "memory of every method, the output size and the free space beside it\ninstead of running",
     nullptr, nullptr, nullptr, [](RunOptions* o, const Arg&) { o->estimate = true; }, {}},
    {"log", V::required, "OFFSET",
     "replace every input sample v by ln(v + OFFSET) before the reconstruction;\nv + OFFSET must be positive",
     "samples as they are", nullptr, "OFFSET, a finite number added to every sample before the logarithm",
     [](RunOptions* o, const Arg& v) { o->log_offset = v.finite(); },
     {"log", K::value, "None", "OFFSET: every input sample v becomes ln(v + OFFSET) before anything else"}},
    {"mode", V::required, "M",
     "output MODE: 1 (16-bit integers), 2 (32-bit floats), 6 (16-bit unsigned\n"
     "integers) or 12 (16-bit floats); integers round half away from zero and\n"
     "clamp to the type, 12 rounds to nearest even and clamps beyond +-65504\n",
     "2", nullptr, "1 (16-bit integers), 2 (32-bit floats), 6 (16-bit unsigned integers) or 12 (16-bit floats)",
     set_output_mode, {"mode", K::value, "None", "output MODE of a file: 1, 2, 6 or 12; reconstruct returns floats"}},
    {"scale", V::required, "ADD,MULT", "every output sample becomes (v + ADD) * MULT before the conversion\n", "0,1",
     nullptr, "ADD,MULT, two finite numbers separated by a comma",
     [](RunOptions* o, const Arg& v) { v.two_numbers(&o->output.add, &o->output.mult, false); },
     {"scale", K::value, "None", "(ADD, MULT): file samples become (v + ADD) * MULT before the MODE"}},
    {"rotx", V::none, nullptr,
     "write XY sections: NX x slices x thickness, section k holding row\nthickness - 1 - k of every slice",
     "one XZ section per slice", nullptr, nullptr, [](RunOptions* o, const Arg&) { o->rotx = true; },
     {"rotx", K::value, "False",
      "True: a file holds XY sections; reconstruct returns (slices, thickness, width)"}},
    {"position", V::optional, "BIN",
     "find the specimen in the search range -z with a WBP preview binned by BIN\n"
     "(default: the smallest power of two bringing the width to 512 or fewer),\n"
     "print what it found and the equivalent options, and reconstruct it flat\n"
     "and tight: DELANG and --xaxis-tilt added to, DZ and -z set",
     "off", "pixels", "a bin, a whole number of pixels, at least 1",
     [](RunOptions* o, const Arg& v) {
         o->position = true;
         if (v.text) o->position_bin = (int)v.whole(1, INT_MAX);
     },
     {"position", K::value, "None",
      "True or BIN: find the specimen in the search range `thickness` first and\n"
      "reconstruct it flat and tight"}},
    {"position-margin", V::required, "PIXELS", "pixels added to the thickness found", "10 %, at least 8", "pixels",
     "a number of pixels, at least 0",
     [](RunOptions* o, const Arg& v) {
         const double margin = v.finite();
         if (margin < 0) v.bad();
         o->position_margin = margin;
     },
     {"position_margin", K::value, "None", "pixels added to the thickness that position finds"}},
    {"position-only", V::none, nullptr, "as --position, but print the position and the options instead of running",
     nullptr, nullptr, nullptr, [](RunOptions* o, const Arg&) { o->position = o->position_only = true; }, {}},
    // A finished run (status 0): the main prints the text on standard output.
    {"help", V::none, nullptr, "this text", nullptr, nullptr, nullptr,
     [](RunOptions*, const Arg&) { throw RunError(help_text(), 0); }, {}},
    {"version", V::none, nullptr, "program name and version", nullptr, nullptr, nullptr,
     [](RunOptions*, const Arg&) { throw RunError("skarbel " SKARBEL_VERSION "\n", 0); }, {}},
};

}  // namespace

std::span<const OptionSpec> option_table() { return options; }

bool option_is_short(const OptionSpec& option) { return option.name[0] != '\0' && option.name[1] == '\0'; }

const OptionSpec* find_long_option(std::string_view name) {
    for (const OptionSpec& option : options)
        if (!option_is_short(option) && name == option.name) return &option;
    return nullptr;
}

const OptionSpec* find_short_option(char letter) {
    for (const OptionSpec& option : options)
        if (option_is_short(option) && option.name[0] == letter) return &option;
    return nullptr;
}
