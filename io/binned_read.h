#pragma once
// Reading a stack binned by N: each projection averaged over N x N blocks of
// pixels as it is read, so that the run sees a stack N times smaller.
#include <cstdio>
#include <functional>
#include <vector>

#include "io/image.h"

// The binned stack: nx x ny blocks of n x n input pixels, the first at input
// column x0 and row y0 (what does not fill a block is dropped, split between
// both sides, the extra pixel at the end).
struct Binning {
    int n = 1;
    int nx = 0, ny = 0;
    int x0 = 0, y0 = 0;
};

Binning binning_of(int input_nx, int input_ny, int n);

// Host memory of the reading of N input rows (0 without binning), in Mb.
double binned_read_mb(const Binning& b, int input_nx, int tilts);

// As image_read_sinograms, for binned rows y0 .. y0 + count - 1 of the binned
// stack: count sinograms of sections.size() rows of b.nx floats, each sample
// the mean of its block (summed in double, in row then column order). Holds N
// input rows of every section at a time. Ends the process with
// image_read_failed (naming the input row) when a row cannot be read whole.
// When given, hook(first_row, n, rows) sees the n input sinograms of rows
// first_row .. as read, before the averaging.
using RowsHook = std::function<void(int first_row, int n, float* rows)>;
void image_read_binned_sinograms(FILE* file, const Image* stack, const Binning& b, int y0, int count,
                                 const std::vector<int>& sections, float* out, const RowsHook& hook = nullptr);
