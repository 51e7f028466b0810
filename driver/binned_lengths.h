#pragma once
// --bin: the run sees a stack N times smaller, while the user's lengths stay
// in pixels of the stack as stored. They are converted here, and only here.
#include "driver/options.h"
#include "io/binned_read.h"
#include "driver/output_header.h"

// The user's lengths (-z, --width, --shift, --offset's DELXX) in binned pixels.
struct BinnedLengths {
    int thickness = 0;  // -z, or the binned width without it
    int width = 0;      // --width, or the binned width without it
    double axis_offset = 0, shift_x = 0, shift_z = 0;
};

// Widths and heights rounded to whole pixels (at least 1); offsets and shifts as fractions.
BinnedLengths binned_lengths(const RunOptions& options, const Binning& b);

// The output's voxels are N input pixels on a side.
InputSpacing binned_spacing(InputSpacing s, const Binning& b);
