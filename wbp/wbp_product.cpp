// The WBP products on the selected device, for any number of slices.
#include "wbp/wbp.h"

#include <cstddef>
#include <vector>

#include "gpu/batch_staging.h"
#include "gpu/gpu_layer.h"
#include "wbp/wbp_batch_kernel.h"

namespace {

// Matrix rows of the level (the level-2 and level-3 matrices cover half the
// slice rows, rounded up).
int matrix_rows(int level, int reconsX, int reconsY) {
    return level <= 1 ? reconsX * reconsY : reconsX * (int)(((long long)reconsY + 1) / 2);
}

// One pass over the matrix for `lanes` slices (lanes within batch_lanes_limit),
// queued on `stream` on a CUDA device.
void product_pass(const WbpPlan& p, float* recons, const float* sinos, int lanes, WbpTurn& b, GpuStream stream) {
    const Geometry& g = p.g;
    const int level = p.level;
    const float* d_matrix = p.d.d_matrix;
    const int *d_column = p.d.d_column, *d_column2 = p.d.d_column2, *d_length = p.d.d_length;
    const int *d_row1 = p.d.d_row1, *d_row2 = p.d.d_row2;
    const int sinoX = g.sinoX, Ntilts = g.Ntilts, reconsX = g.reconsX, reconsY = g.reconsY;
    const int nRows = matrix_rows(level, reconsX, reconsY);
    const int npix = reconsX * reconsY, n = sinoX * Ntilts;
    const float factor = (float)(1.0 / Ntilts);
    float* s = batch_buffer(b.sinos_in, (size_t)n * lanes);
    batch_sinograms_in(s, sinos, n, lanes, b.staging, stream);
    // The host backend writes the caller's slices directly.
    const bool direct = gpu_backend() == GPU_BACKEND_HOST;
    float* out = direct ? recons : batch_buffer(b.slices_out, (size_t)npix * lanes);
    const int items = (int)batch_items(nRows, lanes);
    switch (level) {
        case 0:
            gpu_launch_1d(items,
                          cu_WBP_product_batch0{d_matrix, out, s, d_column, d_length, nRows, lanes, npix, Ntilts,
                                                sinoX, p.tiles},
                          stream);
            break;
        case 1:
            gpu_launch_1d(
                items, cu_WBP_productsym1_batch{d_matrix, out, s, d_column, d_length, nRows, lanes, npix, factor, Ntilts,
                                              sinoX, p.tiles},
                stream);
            break;
        case 2:
            gpu_launch_1d(items,
                          cu_WBP_productsym2_batch{d_matrix, out, s, d_column, d_column2, d_length, nRows, lanes,
                                                   npix, factor, reconsX, reconsY, Ntilts, sinoX, p.tiles},
                          stream);
            break;
        default:
            // The items add into cleared slices; the host forms write every pixel as they would.
            if (!gpu_host_forms()) gpu_zero_async(out, (size_t)npix * lanes * sizeof(float), stream);
            gpu_launch_1d(items,
                          cu_WBP_productsym3_batch{d_matrix, out, s, d_column, d_column2, d_length, d_row1, d_row2,
                                                   nRows, lanes, npix, factor, Ntilts, sinoX, reconsX, reconsY,
                                                   p.tiles},
                          stream);
            break;
    }
    if (!direct) gpu_copy_to_host_async(recons, out, (size_t)npix * lanes * sizeof(float), stream);
}

}  // namespace

// On a GPU the sub-batches take turns on two streams, each with its own
// buffers, and both streams are waited for before the slices are handed back.
void wbp_product(WbpPlan& p, float* recons, const float* sinos, int count) {
    const Geometry& g = p.g;
    const long long npix = (long long)g.reconsX * g.reconsY, n = (long long)g.sinoX * g.Ntilts;
    const int most = batch_lanes_limit(matrix_rows(p.level, g.reconsX, g.reconsY), n, npix);
    const bool gpu = gpu_backend() == GPU_BACKEND_CUDA;
    const std::vector<SubBatch> parts = sub_batches(count, most, gpu);
    for (size_t k = 0; k < parts.size(); ++k) {
        WbpTurn& turn = p.turns[gpu ? k % 2 : 0];
        product_pass(p, recons + parts[k].first * npix, sinos + parts[k].first * n, parts[k].lanes, turn,
                     turn.stream);
    }
    for (const WbpTurn& turn : p.turns) gpu_stream_synchronize(turn.stream);
}
