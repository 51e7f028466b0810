// SIRT on the plan's device: the set-up of the matrices and ray weights,
// and the release of the buffers.
#include <climits>
#include <cstdint>
#include <cstdlib>

#include "gpu/gpu_layer.h"
#include "io/fail.h"
#include "sirt/sirt.h"
#include "sirt/sirt_kernel.h"

namespace {

// The set-up divides by the tilt count and indexes with 32-bit products.
void sirt_check_geometry(const Geometry& g) {
    const int sinoX = g.sinoX, reconsX = g.reconsX, reconsY = g.reconsY, Ntilts = g.Ntilts;
    if (Ntilts <= 0) fail("SIRT: the tilt series has no projections to reconstruct from.\n");
    if (sinoX <= 0 || reconsX <= 0 || reconsY <= 0)
        failf("SIRT: empty geometry (projection width %d, slice %d x %d).\n", sinoX, reconsX, reconsY);
    if (!sirt_counts_fit_32(g))
        fail("SIRT: the slice and tilt series are too large for 32-bit element counts.\n");
}

// The half-slice matrix and the ray weights (the transposed matrix has its own
// allocation, in sirt_transpose_to_device).
void sirt_allocate(MethodBuffers& d, const SirtSizes& z, int sinoX, int Ntilts) {
    const size_t entries = (size_t)z.alignment_n * Ntilts;
    d.d_weights = gpu_array(float, (size_t)sinoX * Ntilts);
    d.d_tangles = gpu_array(a, Ntilts);
    d.d_matrix = gpu_array(float, entries);
    d.d_column = gpu_array(int, entries);
    d.d_column2 = gpu_array(int, entries);
    d.d_length = gpu_array(int, z.nRows);
}

void sirt_zero_matrix(const MethodBuffers& d, const SirtSizes& z, int sinoX, int Ntilts) {
    const size_t entry_bytes = 4 * (size_t)z.alignment_n * Ntilts;
    gpu_zero_new(d.d_weights, 4 * (size_t)sinoX * Ntilts);
    gpu_zero_new(d.d_matrix, entry_bytes);
    gpu_zero_new(d.d_column, entry_bytes);
    gpu_zero_new(d.d_column2, entry_bytes);
    gpu_zero_new(d.d_length, 4 * (size_t)z.nRows);
}

void sirt_build_half_matrix(const ExecChoices& x, const MethodBuffers& d, const SirtSizes& z, const Geometry& g) {
    const int sinoX = g.sinoX, reconsX = g.reconsX, reconsY = g.reconsY, Ntilts = g.Ntilts;
    const int rows = sirt_half_rows(reconsY);
    gpu_launch_2d(x, rows, reconsX,
                  cu_SIRT_matrix{d.d_matrix, d.d_column, d.d_column2, d.d_length, d.d_tangles, Ntilts, reconsX, rows,
                                 sinoX, z.nRows, g.w_2, g.r_2, g.h_2, z.alignment_n, z.tiles});
    // One item per weight: sample c of tilt t.
    gpu_launch_2d(x, sinoX, Ntilts, cu_SIRT_weights{d.d_weights, d.d_tangles, reconsX, rows, sinoX, Ntilts, g.w_2, g.r_2,
                                          g.h_2, reconsY / 2});
    gpu_synchronize();
    gpu_launch_2d(x, Ntilts, sinoX, cu_SIRT_invertweights{d.d_weights, Ntilts, sinoX, g.factor});
    gpu_synchronize();
}

}  // namespace

bool sirt_counts_fit_32(const Geometry& g) {
    const int64_t half_rows = (int64_t)sirt_half_rows(g.reconsY) * g.reconsX;
    const int64_t half_entries = (half_rows + 63) / 64 * 64 * g.Ntilts;
    const int64_t sino = (int64_t)g.sinoX * g.Ntilts;
    return (int64_t)g.reconsX * g.reconsY <= INT_MAX && half_entries <= INT_MAX && sino <= INT_MAX;
}

float sirt_setup_required_mb(const Geometry& g) {
    const int sinoX = g.sinoX, sinoY = g.Ntilts, reconsX = g.reconsX, reconsY = g.reconsY, Ntilts = g.Ntilts;
    const int64_t nRows = (int64_t)sirt_half_rows(reconsY) * reconsX;
    const double alignment_n = (double)((nRows + 63) / 64 * 64);
    const double mb = 1048576.0;
    double sum = 4.0 * reconsX * reconsY / mb;
    sum += 2.0 * 4.0 * sinoX * sinoY / mb;
    sum += 4.0 * sinoX * Ntilts / mb;
    sum += 20.0 * sinoY / mb;
    sum += 4.0 * alignment_n * Ntilts / mb;
    sum += 2.0 * 4.0 * alignment_n * Ntilts / mb;
    sum += 4.0 * (double)nRows / mb;
    return (float)sum;
}

float sirt_required_mb(const Geometry& g, const SirtTransposeShape& t) {
    return (float)((double)sirt_setup_required_mb(g) + (double)sirt_transpose_required_mb(t));
}

// A set-up that stops half way (an error thrown from a check or an
// allocation) leaves what it took to the owners in p and transpose, which free it.
SirtPlan sirt_setup(const a* tangles, const Geometry& g, float memory_mb, const ExecChoices& x) {
    sirt_check_geometry(g);
    SirtPlan p;
    p.g = g;
    p.x = x;
    // The transposed matrix's size is known only once its rows are counted;
    // one check of everything comes before any device buffer is taken.
    SirtTransposeCount transpose = sirt_transpose_count(tangles, g);
    p.sizes.nRows = sirt_half_rows(g.reconsY) * g.reconsX;
    p.sizes.alignment_n = sirt_round_up_64(p.sizes.nRows);
    // The host forms read the host layouts (sirt_bands.h, sirt_tiles.h); items and a GPU the plain ones.
    if (x.host_forms()) p.sizes.tiles = sirt_host_tiles(sirt_half_rows(g.reconsY), g.reconsX);
    gpu_check_memory(sirt_required_mb(g, transpose.shape), memory_mb, "sirt");
    sirt_transpose_to_device(&transpose, tangles, g, x, p.d, p.sizes);
    sirt_allocate(p.d, p.sizes, g.sinoX, g.Ntilts);
    gpu_copy_to_device(p.d.d_tangles, tangles, sizeof(a) * (size_t)g.Ntilts);
    sirt_zero_matrix(p.d, p.sizes, g.sinoX, g.Ntilts);
    sirt_build_half_matrix(x, p.d, p.sizes, g);
    for (SirtTurn& t : p.turns) t.stream = StreamOwner(gpu_stream_create());
    return p;
}

void sirt_free(SirtPlan& p) { p = SirtPlan{}; }
