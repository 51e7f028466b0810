#pragma once
// A detector offset per tilt, applied to the sinograms instead of the matrix:
// moving the samples of each projection row keeps the matrices of every level
// (and their symmetries about the detector centre) those of the plain geometry.
// Rows are moved by a phase ramp in the spectrum of the padded row, which moves
// a smooth row by any fraction of a sample without the blur of a linear
// interpolation, and by a whole number of samples exactly (up to rounding).
#include <fftw3.h>

#include <vector>

#include "io/tilt_angles.h"
#include "weighting/fftw_planner.h"

// Holds its plans: moved, never copied.
struct DetectorShift {
    std::vector<double> shifts;  // s_t per tilt, detector pixels; empty: nothing to move
    int n = 0;                   // row length
    int size = 0;                // transform length: the row and its padding
    std::vector<float> phase;    // per tilt, size / 2 + 1 complex factors
    FftwPlan forward, backward;
};

// s_t = axis_offset - shift_x cos(theta_t) + shift_z sin(theta_t): pixel (x, z)
// takes its value from detector position p + s_t, where p is its position in
// the plain geometry. Nothing to move (no plans made) when all three are 0.
DetectorShift detector_shift_setup(const a* tilts, int Ntilts, int sinoX, double axis_offset, double shift_x,
                                   double shift_z);

// Moves row t of each of the count sinograms (Ntilts rows of n samples) by
// shifts[t]: sample q takes the value of the row at q + shifts[t]. Beyond its
// ends the row continues with its end samples, blended smoothly from one end's
// value to the other's far out. Rows run on all threads; each gives the same
// values at any thread count.
void detector_shift_rows(const DetectorShift& d, float* sinos, int count, int Ntilts);

// Releases the plans now (they are released with d anyway).
void detector_shift_free(DetectorShift* d);
