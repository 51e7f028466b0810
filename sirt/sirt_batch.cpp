// The SIRT iteration of any number of slices on the plan's device: every
// kernel serves all lanes of a sub-batch, so each pass over the two matrices
// serves the whole sub-batch.
#include <algorithm>
#include <cstddef>
#include <vector>

#include "gpu/batch_staging.h"
#include "gpu/gpu_layer.h"
#include "sirt/sirt.h"
#include "sirt/sirt_batch_kernel.h"

namespace {

// Every step of a sub-batch is queued on `stream` on a CUDA device; the
// stream's order alone makes each kernel see the complete result of the one
// before it.
void iterate_batch(SirtPlan& p, float* recons, const float* host_sinos, int lanes, int iterations, SirtTurn& t,
                   GpuStream stream) {
    const Geometry& g = p.g;
    const MethodBuffers& d = p.d;
    const SirtSizes& z = p.sizes;
    const int sinoX = g.sinoX, Ntilts = g.Ntilts, reconsX = g.reconsX, reconsY = g.reconsY;
    const int npix = reconsX * reconsY, n = sinoX * Ntilts;
    const size_t sino_bytes = (size_t)n * lanes * sizeof(float);
    float* x = batch_buffer(t.slices, (size_t)npix * lanes);
    float* b = batch_buffer(t.sinos, (size_t)n * lanes);
    float* aux = batch_buffer(t.errors, (size_t)n * lanes);
    gpu_zero_async(x, (size_t)npix * lanes * sizeof(float), stream);
    batch_sinograms_in(p.x, b, host_sinos, n, lanes, t.staging, stream);
    gpu_launch_1d(p.x, Ntilts,
                  cu_SIRT_weightsinogram_batch{b, d.d_tangles, Ntilts, sinoX, reconsY, lanes, (float)(1.0 / Ntilts)},
                  stream);

    const int nRows = sirt_half_rows(reconsY) * reconsX;
    const cu_SIRT_fwproduct_batch project{d.d_matrix_t, x, aux, d.d_column_t, d.d_length_t, d.d_idrow_t,
                                          z.nrows, z.alignment, lanes, z.bands, &p.host};
    const cu_SIRT_comperror_batch error{aux, b, d.d_weights, Ntilts, sinoX, lanes};
    const cu_SIRT_product_batch back{d.d_matrix, x, aux, d.d_column, d.d_column2, d.d_length,
                                     nRows, z.alignment_n, npix, lanes, Ntilts, sinoX, z.tiles, &p.host};
    for (int it = 0; it < iterations; ++it) {
        gpu_zero_async(aux, sino_bytes, stream);
        gpu_launch_1d(p.x, batch_items(z.nrows, lanes), project, stream);
        gpu_launch_2d(p.x, Ntilts, sinoX, error, stream);
        gpu_launch_1d(p.x, batch_items(nRows, lanes), back, stream);
    }
    // The host backend lays the slices out straight into the caller's buffer.
    const bool direct = p.x.backend == GPU_BACKEND_HOST;
    float* out = direct ? recons : batch_buffer(t.slices_out, (size_t)npix * lanes);
    gpu_launch_1d(p.x, npix, cu_batch_deinterleave{out, x, npix, lanes}, stream);
    if (!direct) gpu_copy_to_host_async(recons, out, (size_t)npix * lanes * sizeof(float), stream);
}

}  // namespace

// On a GPU the sub-batches take turns on two streams, each with its own
// buffers, and both streams are waited for before the slices are handed back.
void sirt_reconstruct(SirtPlan& p, float* recons, const float* host_sinos, int count, int iterations) {
    const Geometry& g = p.g;
    const long long npix = (long long)g.reconsX * g.reconsY, n = (long long)g.sinoX * g.Ntilts;
    const long long rows = std::max<long long>(p.sizes.nrows, sirt_half_rows(g.reconsY) * (long long)g.reconsX);
    const int most = batch_lanes_limit(rows, n, npix);
    const bool gpu = p.x.backend == GPU_BACKEND_CUDA;
    const std::vector<SubBatch> parts = sub_batches(count, most, gpu);
    for (size_t k = 0; k < parts.size(); ++k) {
        SirtTurn& turn = p.turns[gpu ? k % 2 : 0];
        iterate_batch(p, recons + parts[k].first * npix, host_sinos + parts[k].first * n, parts[k].lanes,
                      iterations, turn, turn.stream.get());
    }
    for (const SirtTurn& turn : p.turns) gpu_stream_synchronize(turn.stream.get());
}
