#pragma once
// The preview of --position: a binned WBP of five bands of slices spread
// along Y over the whole search range, each slice reduced to its texture as
// it comes.
#include <vector>

#include "driver/options.h"
#include "io/array_stack.h"

struct PreviewBands {
    int bin = 1;
    int width = 0, thickness = 0;  // of each slice, binned pixels
    int band_slices = 0;           // slices in each band
    std::vector<double> band_y;    // centre of each band, stack pixels from the stack's middle row
    // Band b's texture: width x thickness sums over its slices of their local
    // deviation, as add_texture (position_surfaces.h) takes it, at b * width * thickness.
    std::vector<double> texture;
    // Per slice pixel, the fraction of tilts whose ray through it meets the
    // detector: WBP's noise there has a standard deviation about its square root.
    std::vector<float> coverage;
    const double* band_texture(int band) const { return texture.data() + (size_t)band * width * thickness; }
};

struct a;
// The coverage of a width x thickness slice by tilts whose rays meet a
// detector of detector_width samples, each moved by shifts[t] (none if empty).
std::vector<float> ray_coverage(const a* tilts, int ntilts, const std::vector<double>& shifts, int detector_width,
                                int width, int thickness);

// Reconstructs the bands with the user's --offset, --shift, --exclude, --log,
// --radial and device, at the given bin, every plan freed on return.
PreviewBands preview_bands(const RunOptions& user, const ArrayStack* array, int bin);
