#pragma once
// What sets the WBP symmetry levels apart, in one table: the slice rows the
// matrix covers, the tilts and entries a row holds, the mirrors, and the
// level's matrix build and product. Sizes, estimates, set-ups and products
// read the levels from here.
#include "gpu/gpu_layer.h"
#include "io/tilt_angles.h"

struct WbpPlan;

struct WbpLevel {
    bool half_rows;       // rows for half the slice rows, rounded up; the point mirror gives the rest
    int per_tilt;         // entries a tilt stores in a row: samples c and c + 1 at level 0, else c
    bool half_tilts;      // tilts 0 .. Ntilts/2 only; the products read the opposite ones
    bool mirror_columns;  // each entry holds its point mirror's column too
    bool mirror_rows;     // each row holds its depth and side mirror pixels
    bool host_tiles;      // the host forms store the matrix in tiles (else entry-major)
    // Launches the build of the plan's matrix (zeroed buffers of nRows rows
    // for `rows` slice rows) and waits.
    void (*build)(const WbpPlan& p, int rows, int nRows);
    // Queues one product pass over `lanes` interleaved sinograms s into out.
    void (*product)(WbpPlan& p, float* out, const float* s, int lanes, int nRows, GpuStream stream);
};

// Levels 0 to 3.
const WbpLevel& wbp_level(int level);

// Slice rows with a matrix row each, for a slice reconsY rows thick.
int wbp_level_rows(int level, int reconsY);
// Entries per matrix row.
long long wbp_level_capacity(int level, int Ntilts);
// The largest sinogram index the level's products form.
long long wbp_level_largest_index(int level, int sinoX, int Ntilts);

// The level whose matrix a run asking for `level` builds: level 3 pairs
// opposite tilts and builds level 2 where the angles are not tilt-symmetric.
int wbp_level_built(int level, const a* tangles, int Ntilts);
