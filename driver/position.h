#pragma once
// --position: a binned preview of a few bands of slices finds the specimen's
// slab in the search range (-z), and the run is made flat and tight around it
// with --offset, --xaxis-tilt, --shift and -z.
#include <string>

#include "driver/options.h"
#include "io/array_stack.h"

// What the preview found, and the options of the run it leads to.
struct Position {
    double offset_deg = 0;  // added to the user's DELANG
    double xtilt_deg = 0;   // added to the user's --xaxis-tilt
    double shift_z = 0;     // the run's DZ, stack pixels
    int thickness = 0;      // the run's -z, stack pixels
    double seconds = 0;     // time taken to find it
    std::string options;    // the equivalent options, "--offset=... --xaxis-tilt=... --shift=... -z..."
};

// The preview's bin when --position has none: the smallest power of two that
// brings the width to 512 pixels or fewer.
int position_default_bin(int nx);

// Finds the slab for a run of these options (on the array when given, else
// on options.input_file). Fails (status 255) with the reason and what to try
// when no slab can be found; nothing is written.
Position find_position(const RunOptions& options, const ArrayStack* array);

// "Position: offset ..." and the equivalent options, two lines on standard output.
void print_position(const Position& p);

// The options of the positioned run: those given, with the equivalent options
// applied over them and --position dropped.
RunOptions positioned_options(const RunOptions& options, const std::string& equivalent);
