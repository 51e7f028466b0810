// The SIRT iteration of a batch of slices on the selected device: the
// single-slice sequence (sirt_reconstruct_slice) with every kernel serving all
// lanes, so each pass over the two matrices serves the whole batch.
#include <algorithm>
#include <cstddef>

#include "gpu/batch_staging.h"
#include "gpu/gpu_layer.h"
#include "gpu/buffers.h"
#include "sirt/sirt.h"
#include "sirt/sirt_batch_kernel.h"
#include "wbp/wbp_batch.h"

namespace {

BatchBuffer staging, sinos, errors, slices, slices_out;

void iterate_batch(float* recons, const float* host_sinos, int lanes, int sinoX, int Ntilts, int reconsX,
                   int reconsY, int iterations) {
    const int npix = reconsX * reconsY, n = sinoX * Ntilts;
    const size_t sino_bytes = (size_t)n * lanes * sizeof(float);
    float* x = batch_buffer(slices, (size_t)npix * lanes);
    float* b = batch_buffer(sinos, (size_t)n * lanes);
    float* aux = batch_buffer(errors, (size_t)n * lanes);
    gpu_zero(x, (size_t)npix * lanes * sizeof(float));
    batch_sinograms_in(b, host_sinos, n, lanes, staging);
    gpu_launch_1d(Ntilts, cu_SIRT_weightsinogram_batch{b, d_tangles, Ntilts, sinoX, reconsY, lanes,
                                                        (float)(1.0 / Ntilts)});

    const int nRows = sirt_half_rows(reconsY) * reconsX;
    const cu_SIRT_fwproduct_batch project{d_matrix_t, x, aux, d_column_t, d_length_t, d_idrow_t,
                                          sirt_sizes.nrows, sirt_sizes.alignment, lanes};
    const cu_SIRT_comperror_batch error{aux, b, d_weights, Ntilts, sinoX, lanes};
    const cu_SIRT_product_batch back{d_matrix, x, aux, d_column, d_column2, d_length,
                                     nRows, sirt_sizes.alignment_n, npix, lanes};
    for (int it = 0; it < iterations; ++it) {
        gpu_zero(aux, sino_bytes);
        gpu_launch_1d((int)batch_items(sirt_sizes.nrows, lanes), project);
        gpu_synchronize();
        gpu_launch_2d(Ntilts, sinoX, error);
        gpu_synchronize();
        gpu_launch_1d((int)batch_items(nRows, lanes), back);
    }
    // The host backend lays the slices out straight into the caller's buffer.
    const bool direct = gpu_backend() == GPU_BACKEND_HOST;
    float* out = direct ? recons : batch_buffer(slices_out, (size_t)npix * lanes);
    gpu_launch_1d(npix, cu_batch_deinterleave{out, x, npix, lanes});
    if (!direct) gpu_copy_to_host(recons, out, (size_t)npix * lanes * sizeof(float));
}

}  // namespace

void sirt_reconstruct_batch(float* recons, const float* host_sinos, int count, const Geometry& g, int iterations) {
    const int sinoX = g.sinoX, Ntilts = g.Ntilts, reconsX = g.reconsX, reconsY = g.reconsY;
    const long long npix = (long long)reconsX * reconsY, n = (long long)sinoX * Ntilts;
    const long long rows = std::max<long long>(sirt_sizes.nrows, sirt_half_rows(reconsY) * (long long)reconsX);
    const int most = batch_lanes_limit(rows, n, npix);
    for (int done = 0; done < count;) {
        const int lanes = std::min(most, count - done);
        iterate_batch(recons + done * npix, host_sinos + done * n, lanes, sinoX, Ntilts, reconsX, reconsY,
                      iterations);
        done += lanes;
    }
}

void sirt_batch_free() {
    for (BatchBuffer* b : {&staging, &sinos, &errors, &slices, &slices_out}) batch_buffer_free(*b);
}
