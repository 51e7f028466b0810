#pragma once
#include <memory>
// A tilt series held in memory instead of an MRC file (the Python module's
// input): read as the file's sections would be, the same sinograms for the
// same samples.
#include <vector>

#include "io/binned_read.h"
#include "io/image.h"
#include "io/tilt_angles.h"

// nz sections of ny rows of nx floats, C order, and one angle (degrees) per section.
struct ArrayStack {
    const float* values = nullptr;
    int nx = 0, ny = 0, nz = 0;
    std::vector<double> angles_deg;
};

// Gives the image the header of a float stack of the array's sizes (no cell spacing).
void array_stack_header(const ArrayStack& stack, Image* image);

// The tilt records of the listed sections (delete[]); fails unless there is
// one finite angle per section.
std::unique_ptr<a[]> array_tilt_angles(const ArrayStack& stack, const std::vector<int>& sections);

// As image_read_sinograms (or image_read_binned_sinograms for b.n > 1, with
// its hook on the rows of each block), from the array.
void array_read_sinograms(const ArrayStack& stack, const Binning& b, int y0, int count,
                          const std::vector<int>& sections, float* out, const RowsHook& hook = nullptr);
