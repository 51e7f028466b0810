#pragma once
#include "driver/volume_stats.h"
#include "io/mrc_header.h"

// Sample spacing of the input stack (Angstrom per pixel), where its header
// gives one: CELLA and M of that axis both positive.
struct InputSpacing {
    bool has_x = false, has_y = false;
    double x = 0, y = 0;
};

InputSpacing input_spacing(const MrcHeader& input);

// CELLA of an output header from its MX, MY, MZ: the volume's X and Y
// (thickness) axes take the input's X spacing, its Z axis (input rows) the
// input's Y spacing; an axis without a known spacing keeps CELLA 0.
void set_output_cell(MrcHeader* output, const InputSpacing& spacing);

// Final header of a run over nslices slices of nx x thickness, the first of them
// slice first_slice of the stack: sizes, M = N, NZSTART = first_slice, cell,
// DMIN, DMAX, DMEAN and RMS from the statistics of the sections written.
void complete_output_header(MrcHeader* output, int nx, int thickness, int nslices, const VolumeStats& stats,
                            const InputSpacing& spacing, int first_slice = 0);

// The header of the same volume written as XY sections (--rotx): Y and Z swap
// their sizes, M, cell lengths and origins, NYSTART takes NZSTART and NZSTART
// becomes 0.
void rotate_output_header_x(MrcHeader* output);
