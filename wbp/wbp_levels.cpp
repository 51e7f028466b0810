#include "wbp/wbp_levels.h"

#include "wbp/wbp.h"
#include "wbp/wbp_batch_kernel.h"
#include "wbp/wbp_sizes.h"
#include "wbp/wg_kernel.h"

namespace {

// The matrix builds: 2-D launches over (slice row, slice column).
void build0(const WbpPlan& p, int rows, int nRows) {
    const Geometry& g = p.g;
    const MethodBuffers& d = p.d;
    gpu_launch_2d(p.x, rows, g.reconsX,
                  cu_WBP_matrix0{d.d_matrix, d.d_column, d.d_length, d.d_tangles, g.Ntilts, g.reconsX, rows, g.sinoX,
                                 nRows, g.w_2, g.r_2, g.h_2, g.factor, p.tiles});
}

// Levels 1 and 2: one entry per tilt, level 2 with the mirrored column.
template <bool Mirrored>
void build_single(const WbpPlan& p, int rows, int nRows) {
    const Geometry& g = p.g;
    const MethodBuffers& d = p.d;
    gpu_launch_2d(p.x, rows, g.reconsX,
                  cu_WBP_matrix_single{d.d_matrix, d.d_column, Mirrored ? d.d_column2.get() : nullptr, d.d_length,
                                       d.d_tangles, g.Ntilts, g.reconsX, rows, g.sinoX, nRows, g.w_2, g.r_2, g.h_2,
                                       g.factor, p.tiles});
}

void build3(const WbpPlan& p, int rows, int nRows) {
    const Geometry& g = p.g;
    const MethodBuffers& d = p.d;
    gpu_launch_2d(p.x, rows, g.reconsX,
                  cu_WBP_matrixsym3{d.d_matrix, d.d_column, d.d_column2, d.d_length, d.d_row1, d.d_row2, d.d_tangles,
                                    g.Ntilts, g.reconsX, rows, g.sinoX, nRows, g.w_2, g.r_2, g.h_2, g.factor,
                                    g.reconsY, p.tiles});
}

// The products: one item per (matrix row, lane).
long long items_of(int nRows, int lanes) { return batch_items(nRows, lanes); }
int npix_of(const Geometry& g) { return g.reconsX * g.reconsY; }
float factor_of(const Geometry& g) { return (float)(1.0 / g.Ntilts); }

void product0(WbpPlan& p, float* out, const float* s, int lanes, int nRows, GpuStream stream) {
    const Geometry& g = p.g;
    gpu_launch_1d(p.x, items_of(nRows, lanes),
                  cu_WBP_product_batch0{p.d.d_matrix, out, s, p.d.d_column, p.d.d_length, nRows, lanes, npix_of(g),
                                        g.Ntilts, g.sinoX, p.tiles, &p.host},
                  stream);
}

void product1(WbpPlan& p, float* out, const float* s, int lanes, int nRows, GpuStream stream) {
    const Geometry& g = p.g;
    gpu_launch_1d(p.x, items_of(nRows, lanes),
                  cu_WBP_productsym1_batch{p.d.d_matrix, out, s, p.d.d_column, p.d.d_length, nRows, lanes,
                                           npix_of(g), factor_of(g), g.Ntilts, g.sinoX, p.tiles, &p.host},
                  stream);
}

void product2(WbpPlan& p, float* out, const float* s, int lanes, int nRows, GpuStream stream) {
    const Geometry& g = p.g;
    gpu_launch_1d(p.x, items_of(nRows, lanes),
                  cu_WBP_productsym2_batch{p.d.d_matrix, out, s, p.d.d_column, p.d.d_column2, p.d.d_length, nRows,
                                           lanes, npix_of(g), factor_of(g), g.reconsX, g.reconsY, g.Ntilts, g.sinoX,
                                           p.tiles, &p.host},
                  stream);
}

void product3(WbpPlan& p, float* out, const float* s, int lanes, int nRows, GpuStream stream) {
    const Geometry& g = p.g;
    const int npix = npix_of(g);
    // The items add into cleared slices; the host forms write every pixel as they would.
    if (!p.x.host_forms()) gpu_zero_async(out, (size_t)npix * lanes * sizeof(float), stream);
    gpu_launch_1d(p.x, items_of(nRows, lanes),
                  cu_WBP_productsym3_batch{p.d.d_matrix, out, s, p.d.d_column, p.d.d_column2, p.d.d_length,
                                           p.d.d_row1, p.d.d_row2, nRows, lanes, npix, factor_of(g), g.Ntilts,
                                           g.sinoX, g.reconsX, g.reconsY, p.tiles, &p.host},
                  stream);
}

// Level 3 keeps the entry-major layout on the host: see plan_tiles (wbp.cpp).
const WbpLevel kLevels[4] = {
    {false, 2, false, false, false, true, build0, product0},
    {false, 1, false, false, false, true, build_single<false>, product1},
    {true, 1, false, true, false, true, build_single<true>, product2},
    {true, 1, true, true, true, false, build3, product3},
};

}  // namespace

const WbpLevel& wbp_level(int level) { return kLevels[level]; }

// In 64 bits: the largest thickness would overflow reconsY + 1.
int wbp_level_rows(int level, int reconsY) {
    return wbp_level(level).half_rows ? (int)(((long long)reconsY + 1) / 2) : reconsY;
}

long long wbp_level_capacity(int level, int Ntilts) {
    const WbpLevel& L = wbp_level(level);
    return (long long)L.per_tilt * (L.half_tilts ? Ntilts / 2 + 1 : Ntilts);
}

long long wbp_level_largest_index(int level, int sinoX, int Ntilts) {
    // The opposite tilt of a half-tilt level is read as (Ntilts + 1) * sinoX - column.
    return (long long)(wbp_level(level).half_tilts ? Ntilts + 1 : Ntilts) * sinoX;
}

int wbp_level_built(int level, const a* tangles, int Ntilts) {
    return wbp_level(level).half_tilts && !wbp_tilts_symmetric(tangles, Ntilts) ? 2 : level;
}
