#pragma once
// SIRT on the plan's device: the set-up builds the matrices and ray weights
// once per run into a plan, then slices are reconstructed by iteration. Also
// the size rules shared with the tests.
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "gpu/batch_staging.h"
#include "gpu/buffers.h"
#include "gpu/host_floats.h"
#include "host_simd/host_run.h"
#include "io/tilt_angles.h"
#include "method/geometry.h"
#include "sirt/sirt_tiles.h"

struct SirtSizes {
    int nRows = 0;         // rows of the half-slice matrix: sirt_half_rows(reconsY) * reconsX
    int alignment_n = 0;   // entry stride of the half-slice matrix
    int nrows = 0;         // rows of the transposed matrix (distinct sinogram bins)
    int alignment = 0;     // entry stride of the transposed matrix
    int max_length_t = 0;  // longest row of the transposed matrix
    // The host backend stores the transposed matrix by bands of band_rows
    // slice rows (sirt_bands.h); one band is the plain layout.
    int bands = 1, band_rows = 0;
    // The host backend stores the half-slice matrix by tiles (sirt_tiles.h).
    host_tiles::TileLayout tiles{};
};

// A side stream of the plan and the device buffers of its sub-batches.
struct SirtTurn {
    BatchBuffer staging, sinos, errors, slices, slices_out;
    StreamOwner stream;  // destroyed first: its queued work still uses the buffers
};

// A SIRT plan: the two matrices and the ray weights of one geometry, and the
// buffers of its iterations. Plans hold no shared state: several may live, and
// run on different threads, at once. Holds owners: moved, never copied.
struct SirtPlan {
    Geometry g;
    ExecChoices x;  // fixed at set-up; the layouts in sizes follow from it
    MethodBuffers d;
    SirtSizes sizes;
    host_rows::HostRun host;  // the host forms' vector set and scratch
    SirtTurn turns[2];
};

// Builds the matrices into a new plan, on a device with memory_mb Mb to spare
// (GpuDevice::memory_mb), with the choices x, which the plan keeps.
SirtPlan sirt_setup(const a* tangles, const Geometry& g, float memory_mb, const ExecChoices& x);
// The iteration of `count` slices: sinos holds count sinograms as read from
// the stack, one after another, recons receives count slices of reconsX x
// reconsY. Any count >= 1 works; each pass over the matrices serves a
// sub-batch, and each slice equals the slice reconstructed alone, bit for bit.
void sirt_reconstruct(SirtPlan& p, float* recons, const float* sinos, int count, int iterations);
// Releases the plan's buffers now (they are released with the plan anyway).
void sirt_free(SirtPlan& p);

// Rows of the slice covered by the half-slice matrix: every row j whose point
// mirror reconsY - 1 - j is not above it, so an odd thickness includes the
// centre row (whose mirror images lie in the centre row itself).
inline int sirt_half_rows(int reconsY) { return reconsY - reconsY / 2; }

// n rounded up to a multiple of 64, the entry stride of both matrices.
inline int sirt_round_up_64(int n) { return (int)(((int64_t)n + 63) / 64 * 64); }

// Device memory of the set-up's own buffers in Mb, all but the transposed
// matrix, whose size is known only once its rows are counted.
float sirt_setup_required_mb(const Geometry& g);

// True when the set-up's own element counts fit 32 bits.
bool sirt_counts_fit_32(const Geometry& g);

// Rows, entry stride and longest row of the transposed matrix; fits_32 is false
// where its element counts go beyond 32 bits (the build refuses it then).
struct SirtTransposeShape {
    int nrows = 0, alignment = 0, max_length = 0;
    bool fits_32 = false;
};

// The shape as the build finds it, by the build's own counting pass over the
// pixels, without storing the matrix.
SirtTransposeShape sirt_transpose_shape(const a* tangles, const Geometry& g);

// Device memory of the transposed matrix in Mb.
float sirt_transpose_required_mb(const SirtTransposeShape& t);

// What the set-up checks before it takes any device memory: its own buffers and
// the transposed matrix, in Mb.
float sirt_required_mb(const Geometry& g, const SirtTransposeShape& t);

// The counting pass of the transposed matrix: the pixels of every sinogram bin
// (counts, Ntilts * sinoX of them, used up by the build) and the shape. Ends
// the run with a message where the matrix goes beyond 32-bit element counts
// or the host memory runs out.
struct SirtTransposeCount {
    HostArray<int> counts;
    SirtTransposeShape shape;
};
SirtTransposeCount sirt_transpose_count(const a* tangles, const Geometry& g);

// Builds the counted matrix in the device buffers of d and records its sizes in
// sizes: on the host device in place (in bands for the host forms), for a GPU
// through host images.
void sirt_transpose_to_device(SirtTransposeCount* c, const a* tangles, const Geometry& g, const ExecChoices& x,
                              MethodBuffers& d, SirtSizes& sizes);

// Slice rows per band of the host layout: a band's pixels, at 16 lanes, stay
// well inside a core's L2 cache while every tilt's rays cross it.
int sirt_band_rows(int reconsX, int reconsY);

// The transposed matrix built on the host, before it goes to the device:
// alignment * max_length interleaved entries, and nrows row lengths and bins.
// Each image is owned, so that an error on the way to the device releases them.
struct SirtTransposeHost {
    HostArray<float> weights;
    HostArray<int> pixels;
    HostArray<int> length;
    HostArray<int> bin;
    SirtTransposeShape shape;
};

// Ends the run with a message where the matrix goes beyond 32-bit element
// counts or the host memory runs out.
SirtTransposeHost sirt_transpose_on_host(const a* tangles, const Geometry& g);
// Copies the matrix into the device buffers of d (held there as soon as
// taken, for the plan to release on an error), records its sizes in sizes
// and releases the host copy.
void sirt_transpose_upload(SirtTransposeHost* t, MethodBuffers& d, SirtSizes& sizes);
