// Weighted back-projection on the selected device: the set-up of a plan (the
// matrix of one slice, built once per run) and its release.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <utility>

#include "gpu/gpu_layer.h"
#include "wbp/wbp.h"
#include "wbp/wbp_sizes.h"
#include "wbp/wg_kernel.h"

namespace {

size_t floats(long long n) { return (size_t)n * sizeof(float); }
size_t ints(long long n) { return (size_t)n * sizeof(int); }
int* alloc_ints(long long n) { return static_cast<int*>(gpu_alloc(ints(n))); }

// What every level's set-up does before its matrix kernel: allocate the tilt
// records and the level's matrix arrays, copy the tilt records, zero the matrix
// arrays. Mirror columns exist at levels 2 and 3, mirror rows at level 3 only.
void prepare_matrix(MethodBuffers& d, const WbpSizes& s, const a* tangles, int Ntilts, bool mirror_columns,
                    bool mirror_rows) {
    d.d_tangles = static_cast<a*>(gpu_alloc(sizeof(a) * (size_t)Ntilts));
    d.d_matrix = static_cast<float*>(gpu_alloc(floats(s.entries)));
    d.d_column = alloc_ints(s.entries);
    if (mirror_columns) d.d_column2 = alloc_ints(s.entries);
    d.d_length = alloc_ints(s.nRows);
    if (mirror_rows) {
        d.d_row1 = alloc_ints(s.nRows);
        d.d_row2 = alloc_ints(s.nRows);
    }
    gpu_copy_to_device(d.d_tangles, tangles, sizeof(a) * (size_t)Ntilts);
    gpu_zero_new(d.d_matrix, floats(s.entries));
    gpu_zero_new(d.d_column, ints(s.entries));
    if (mirror_columns) gpu_zero_new(d.d_column2, ints(s.entries));
    gpu_zero_new(d.d_length, ints(s.nRows));
    if (mirror_rows) {
        gpu_zero_new(d.d_row1, ints(s.nRows));
        gpu_zero_new(d.d_row2, ints(s.nRows));
    }
}

// The layout the plan stores its matrix in: tiles where the host forms read
// it, entry-major for the kernel bodies. A tile of 64 x 64 pixels meets at most
// about 90 detector columns per tilt, so that its samples of a 16-lane batch
// for all tilts stay in L2 while it is summed. Level 3 reads four samples sets
// instead of two and a thread must own whole bands of rows; on two threads
// sharing a core's caches its tiles lost to the entry-major blocks (1.03 -
// 1.14x their time at 16 lanes), so level 3 keeps the entry-major layout.
host_tiles::TileLayout plan_tiles(const WbpSizes& s, const Geometry& g) {
    host_tiles::TileLayout L{s.rows, g.reconsX, 0, 0, s.capacity};
    if (!gpu_host_forms() || s.level == 3) return L;
    L.tile_rows = 64;
    L.tile_cols = 64;
    return L;
}

}  // namespace

void wbp_build_matrix(const WbpPlan& p) {
    const Geometry& g = p.g;
    const MethodBuffers& d = p.d;
    const WbpSizes s = wbp_sizes(p.level, g);
    const int nRows = (int)s.nRows;
    switch (p.level) {
        case 0:
            gpu_launch_2d(g.reconsY, g.reconsX,
                          cu_WBP_matrix0{d.d_matrix, d.d_column, d.d_length, d.d_tangles, g.Ntilts, g.reconsX,
                                         g.reconsY, g.sinoX, nRows, g.w_2, g.r_2, g.h_2, g.factor, p.tiles});
            break;
        case 1:
            gpu_launch_2d(g.reconsY, g.reconsX,
                          cu_WBP_matrixsym1{d.d_matrix, d.d_column, d.d_length, d.d_tangles, g.Ntilts, g.reconsX,
                                            g.reconsY, g.sinoX, nRows, g.w_2, g.r_2, g.h_2, g.factor, p.tiles});
            break;
        case 2:
            gpu_launch_2d(s.rows, g.reconsX,
                          cu_WBP_matrixsym2{d.d_matrix, d.d_column, d.d_column2, d.d_length, d.d_tangles, g.Ntilts,
                                            g.reconsX, s.rows, g.sinoX, nRows, g.w_2, g.r_2, g.h_2, g.factor, p.tiles});
            break;
        default:
            gpu_launch_2d(s.rows, g.reconsX,
                          cu_WBP_matrixsym3{d.d_matrix, d.d_column, d.d_column2, d.d_length, d.d_row1, d.d_row2,
                                            d.d_tangles, g.Ntilts, g.reconsX, s.rows, g.sinoX, nRows, g.w_2,
                                            g.r_2, g.h_2, g.factor, g.reconsY, p.tiles});
            break;
    }
    gpu_synchronize();
}

// A set-up that stops half way (an error thrown from a check or an
// allocation) releases what it took.
WbpPlan wbp_setup(int level, const a* tangles, const Geometry& g, float memory_mb) {
    WbpPlan p;
    p.level = level;
    p.g = g;
    try {
        const WbpSizes s = wbp_check_sizes(level, g, memory_mb);
        p.tiles = plan_tiles(s, g);
        prepare_matrix(p.d, s, tangles, g.Ntilts, level >= 2, level == 3);
        wbp_build_matrix(p);
        for (WbpTurn& t : p.turns) t.stream = gpu_stream_create();
    } catch (...) {
        wbp_free(p);
        throw;
    }
    return p;
}

int wbp_level_to_run(int level, const a* tangles, int Ntilts, bool warn) {
    if (level != 3 || Ntilts <= 0 || wbp_tilts_symmetric(tangles, Ntilts)) return level;
    if (warn)
        fputs("Warning: symmetry level 3 needs tilt-symmetric angles (angle(Ntilts - t) = -angle(t)); "
              "using symmetry level 2\n",
              stderr);
    return 2;
}

void wbp_free(WbpPlan& p) {
    for (WbpTurn& t : p.turns) {
        gpu_stream_destroy(std::exchange(t.stream, GPU_STREAM_DEFAULT));
        for (BatchBuffer* b : {&t.staging, &t.sinos_in, &t.slices_out}) batch_buffer_free(*b);
    }
    method_buffers_free(p.d);
}
