#pragma once
#include <optional>
#include <string>
#include <vector>

#include "driver/alignment.h"
#include "driver/section_list.h"
#include "driver/slice_range.h"
#include "io/output_modes.h"
#include "weighting/weighting.h"

// Settings of one run, from the command line.
struct RunOptions {
    int thickness = 0;           // slice height; NX of the stack unless -z is given
    bool thickness_given = false;
    int gpu = -1;                // device number; -1 lets the layer choose
    int symmetry_level = 2;      // WBP level 0..3 after clamping
    bool sirt = false;
    int iterations = 30;         // SIRT iterations per slice
    std::vector<SectionRange> exclude;  // stack sections left out (--exclude)
    std::optional<RadialTaper> radial;  // WBP filter taper instead of Hamming (--radial)
    int sirt_like = 0;                  // SIRT iterations the WBP filter imitates (--sirt-like); 0: the ramp
    std::optional<SliceRange> slices;   // slices to reconstruct (--slices); all by default
    int batch = 0;               // slices per matrix pass (--batch); 0 lets the program choose
    bool estimate = false;              // print the memory figures instead of running (--estimate)
    Alignment alignment;  // --offset, --shift, --width, --xaxis-tilt, --bin
    std::optional<double> log_offset;   // every input sample v becomes ln(v + offset) (--log)
    OutputFormat output;                // MODE and scaling of the output samples (--mode, --scale)
    bool rotx = false;                  // XY sections: the volume turned -90 degrees about X (--rotx)
    bool position = false;              // find the specimen first and reconstruct it flat and tight (--position)
    int position_bin = 0;               // the preview's bin; 0: chosen from the width
    std::optional<double> position_margin;  // pixels added to the thickness found (--position-margin)
    bool position_only = false;         // print the position instead of running (--position-only)
    std::string tilt_file, input_file, output_file;
};

// Fails (status 255) with the usage text (option_table.h).
[[noreturn]] void usage();

// Levels 4 and above, taken as unsigned (so every negative one too), become 2.
int clamp_symmetry_level(int level);

// Parses the long options (see long_options.h), the single-letter options
// (values attached to their letter) and the three file names. Fails with the usage text on a bad letter, a
// missing value or too few names, and with a message on a thickness below 1.
RunOptions parse_options(int argc, char** argv);

// The checks of parse_options that concern more than one value (thickness,
// -S with --sirt-like) and the clamping of the WBP level, for options set
// one by one (the Python module).
void check_options(RunOptions* options);

// "[WBP]Symmetry level: %d\n" or "[SIRT]Iterations: %d\n" on standard output.
void print_method_line(const RunOptions& options);
