#pragma once
// Sizes of the weighted back-projection buffers at one symmetry level, and the
// checks a set-up makes before it allocates anything.
#include "io/tilt_angles.h"
#include "method/geometry.h"

struct WbpSizes {
    int level;
    int rows;                // slice rows with a matrix row each: the thickness, or half of it rounded up
    long long npix;          // slice pixels
    long long nRows;         // matrix rows (also the stride of the entry arrays)
    long long capacity;      // entries per row
    long long entries;       // capacity * nRows
    long long sino_elems;    // sinoX * Ntilts
    double bytes;            // all device buffers of the level
    float required_mb;       // bytes / 1048576, rounded to single precision
};

// Sizes of wbp_setup_sym<level> for a geometry (counts in 64 bits, so that a
// size beyond 32-bit indices can be recognised).
WbpSizes wbp_sizes(int level, const Geometry& g);

// True when every element count and index of the level fits 32 bits, as the
// level's kernels form them.
bool wbp_counts_fit_32(const WbpSizes& s, int sinoX, int Ntilts);

// Refuses, with a message and exit status -1, a run whose sizes the level cannot
// index in 32 bits or that has no tilts; then makes the device memory check
// against memory_mb. Returns the sizes of a run that may go ahead.
WbpSizes wbp_check_sizes(int level, const Geometry& g, float memory_mb);

// True when angle(Ntilts - t) = -angle(t) (within 1e-3 degrees) for 1 <= t < Ntilts,
// the pairing of opposite tilts that level 3 relies on.
bool wbp_tilts_symmetric(const a* tangles, int Ntilts);
