// The batched WBP products on the selected device.
#include "wbp/wbp_batch.h"

#include <algorithm>
#include <cstddef>

#include "gpu/batch_staging.h"
#include "gpu/gpu_layer.h"
#include "gpu/buffers.h"
#include "wbp/wbp_batch_kernel.h"

namespace {

BatchBuffer staging, sinos_in, slices_out;

// Matrix rows of the level (the level-2 and level-3 matrices cover half the
// slice rows, rounded up).
int matrix_rows(int level, int reconsX, int reconsY) {
    return level <= 1 ? reconsX * reconsY : reconsX * ((reconsY + 1) / 2);
}

// One pass over the matrix for `lanes` slices (lanes within batch_lanes_limit).
void product_pass(int level, float* recons, const float* sinos, int lanes, int sinoX, int Ntilts, int reconsX,
                  int reconsY) {
    const int nRows = matrix_rows(level, reconsX, reconsY);
    const int npix = reconsX * reconsY, n = sinoX * Ntilts;
    const float factor = (float)(1.0 / Ntilts);
    float* s = batch_buffer(sinos_in, (size_t)n * lanes);
    batch_sinograms_in(s, sinos, n, lanes, staging);
    // The host backend writes the caller's slices directly.
    const bool direct = gpu_backend() == GPU_BACKEND_HOST;
    float* out = direct ? recons : batch_buffer(slices_out, (size_t)npix * lanes);
    const int items = (int)batch_items(nRows, lanes);
    switch (level) {
        case 0:
            gpu_launch_1d(items, cu_WBP_product_batch0{d_matrix, out, s, d_column, d_length, nRows, lanes, npix});
            break;
        case 1:
            gpu_launch_1d(items,
                          cu_WBP_productsym1_batch{d_matrix, out, s, d_column, d_length, nRows, lanes, npix, factor});
            break;
        case 2:
            gpu_launch_1d(items, cu_WBP_productsym2_batch{d_matrix, out, s, d_column, d_column2, d_length, nRows,
                                                          lanes, npix, factor, reconsX, reconsY});
            break;
        default:
            gpu_zero(out, (size_t)npix * lanes * sizeof(float));
            gpu_launch_1d(items, cu_WBP_productsym3_batch{d_matrix, out, s, d_column, d_column2, d_length, d_row1,
                                                          d_row2, nRows, lanes, npix, factor, Ntilts, sinoX,
                                                          reconsX, reconsY});
            break;
    }
    if (!direct) gpu_copy_to_host(recons, out, (size_t)npix * lanes * sizeof(float));
}

}  // namespace

void wbp_product_batch(int level, float* recons, const float* sinos, int count, const Geometry& g) {
    const int sinoX = g.sinoX, Ntilts = g.Ntilts, reconsX = g.reconsX, reconsY = g.reconsY;
    const long long npix = (long long)reconsX * reconsY, n = (long long)sinoX * Ntilts;
    const int most = batch_lanes_limit(matrix_rows(level, reconsX, reconsY), n, npix);
    for (int done = 0; done < count;) {
        const int lanes = std::min(most, count - done);
        product_pass(level, recons + done * npix, sinos + done * n, lanes, sinoX, Ntilts, reconsX, reconsY);
        done += lanes;
    }
}

void wbp_batch_free() {
    batch_buffer_free(staging);
    batch_buffer_free(sinos_in);
    batch_buffer_free(slices_out);
}
