// The WBP products on the plan's device, for any number of slices.
#include "wbp/wbp.h"

#include <cstddef>
#include <vector>

#include "gpu/batch_staging.h"
#include "gpu/gpu_layer.h"
#include "wbp/wbp_levels.h"

namespace {

// Matrix rows of the level.
int matrix_rows(int level, const Geometry& g) { return g.reconsX * wbp_level_rows(level, g.reconsY); }

// One pass over the matrix for `lanes` slices (lanes within batch_lanes_limit),
// queued on `stream` on a CUDA device.
void product_pass(WbpPlan& p, float* recons, const float* sinos, int lanes, WbpTurn& b, GpuStream stream) {
    const Geometry& g = p.g;
    const int npix = g.reconsX * g.reconsY, n = g.sinoX * g.Ntilts;
    float* s = batch_buffer(b.sinos_in, (size_t)n * lanes);
    batch_sinograms_in(p.x, s, sinos, n, lanes, b.staging, stream);
    // The host backend writes the caller's slices directly.
    const bool direct = p.x.backend == GPU_BACKEND_HOST;
    float* out = direct ? recons : batch_buffer(b.slices_out, (size_t)npix * lanes);
    wbp_level(p.level).product(p, out, s, lanes, matrix_rows(p.level, g), stream);
    if (!direct) gpu_copy_to_host_async(recons, out, (size_t)npix * lanes * sizeof(float), stream);
}

}  // namespace

// On a GPU the sub-batches take turns on two streams, each with its own
// buffers, and both streams are waited for before the slices are handed back.
void wbp_product(WbpPlan& p, float* recons, const float* sinos, int count) {
    const Geometry& g = p.g;
    const long long npix = (long long)g.reconsX * g.reconsY, n = (long long)g.sinoX * g.Ntilts;
    const int most = batch_lanes_limit(matrix_rows(p.level, g), n, npix);
    const bool gpu = p.x.backend == GPU_BACKEND_CUDA;
    const std::vector<SubBatch> parts = sub_batches(count, most, gpu);
    for (size_t k = 0; k < parts.size(); ++k) {
        WbpTurn& turn = p.turns[gpu ? k % 2 : 0];
        product_pass(p, recons + parts[k].first * npix, sinos + parts[k].first * n, parts[k].lanes, turn,
                     turn.stream.get());
    }
    for (const WbpTurn& turn : p.turns) gpu_stream_synchronize(turn.stream.get());
}
