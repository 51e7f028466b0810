// Weighted back-projection on the selected device: the set-up of the matrix of
// one slice, built once per run, and its release.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "gpu/buffers.h"
#include "gpu/gpu_layer.h"
#include "wbp/wbp.h"
#include "wbp/wbp_sizes.h"
#include "wbp/wg_kernel.h"

namespace {

size_t floats(long long n) { return (size_t)n * sizeof(float); }

// The buffers every level has, allocated first and in this order.
void alloc_common(const WbpSizes& s, int Ntilts) {
    d_recons = static_cast<float*>(gpu_alloc(floats(s.npix)));
    d_sino = static_cast<float*>(gpu_alloc(floats(s.sino_elems)));
    d_tangles = static_cast<a*>(gpu_alloc(sizeof(a) * (size_t)Ntilts));
}

void copy_tangles(const a* tangles, int Ntilts) { gpu_copy_to_device(d_tangles, tangles, sizeof(a) * (size_t)Ntilts); }

size_t ints(long long n) { return (size_t)n * sizeof(int); }
int* alloc_ints(long long n) { return static_cast<int*>(gpu_alloc(ints(n))); }

// What every level's set-up does before its matrix kernel: allocate the common
// buffers and the level's matrix arrays, copy the tilt records, zero the matrix
// arrays. Mirror columns exist at levels 2 and 3, mirror rows at level 3 only.
void prepare_matrix(const WbpSizes& s, const a* tangles, int Ntilts, bool mirror_columns, bool mirror_rows) {
    alloc_common(s, Ntilts);
    d_matrix = static_cast<float*>(gpu_alloc(floats(s.entries)));
    d_column = alloc_ints(s.entries);
    if (mirror_columns) d_column2 = alloc_ints(s.entries);
    d_length = alloc_ints(s.nRows);
    if (mirror_rows) {
        d_row1 = alloc_ints(s.nRows);
        d_row2 = alloc_ints(s.nRows);
    }
    copy_tangles(tangles, Ntilts);
    gpu_zero_new(d_matrix, floats(s.entries));
    gpu_zero_new(d_column, ints(s.entries));
    if (mirror_columns) gpu_zero_new(d_column2, ints(s.entries));
    gpu_zero_new(d_length, ints(s.nRows));
    if (mirror_rows) {
        gpu_zero_new(d_row1, ints(s.nRows));
        gpu_zero_new(d_row2, ints(s.nRows));
    }
}

}  // namespace

void wbp_build_matrix(int level, const Geometry& g) {
    const WbpSizes s = wbp_sizes(level, g);
    const int nRows = (int)s.nRows;
    switch (level) {
        case 0:
            gpu_launch_2d(g.reconsY, g.reconsX,
                          cu_WBP_matrix0{d_matrix, d_column, d_length, d_tangles, g.Ntilts, g.reconsX, g.reconsY,
                                         g.sinoX, nRows, g.w_2, g.r_2, g.h_2, g.factor});
            break;
        case 1:
            gpu_launch_2d(g.reconsY, g.reconsX,
                          cu_WBP_matrixsym1{d_matrix, d_column, d_length, d_tangles, g.Ntilts, g.reconsX, g.reconsY,
                                            g.sinoX, nRows, g.w_2, g.r_2, g.h_2, g.factor});
            break;
        case 2:
            gpu_launch_2d(s.rows, g.reconsX,
                          cu_WBP_matrixsym2{d_matrix, d_column, d_column2, d_length, d_tangles, g.Ntilts, g.reconsX,
                                            s.rows, g.sinoX, nRows, g.w_2, g.r_2, g.h_2, g.factor});
            break;
        default:
            gpu_launch_2d(s.rows, g.reconsX,
                          cu_WBP_matrixsym3{d_matrix, d_column, d_column2, d_length, d_row1, d_row2, d_tangles,
                                            g.Ntilts, g.reconsX, s.rows, g.sinoX, nRows, g.w_2, g.r_2, g.h_2,
                                            g.factor, g.reconsY});
            break;
    }
    gpu_synchronize();
}

void wbp_setup(int level, const a* tangles, const Geometry& g) {
    const WbpSizes s = wbp_check_sizes(level, g);
    prepare_matrix(s, tangles, g.Ntilts, level >= 2, level == 3);
    wbp_build_matrix(level, g);
}

int wbp_level_to_run(int level, const a* tangles, int Ntilts) {
    if (level != 3 || Ntilts <= 0 || wbp_tilts_symmetric(tangles, Ntilts)) return level;
    fputs("Warning: symmetry level 3 needs tilt-symmetric angles (angle(Ntilts - t) = -angle(t)); "
          "using symmetry level 2\n",
          stderr);
    return 2;
}

void wbp_free() {
    wbp_product_free();
    gpu_free(d_recons);
    gpu_free(d_sino);
    gpu_free(d_tangles);
    gpu_free(d_matrix);
    gpu_free(d_column);
    gpu_free(d_column2);
    gpu_free(d_length);
    gpu_free(d_row1);
    gpu_free(d_row2);
    d_recons = d_sino = d_matrix = nullptr;
    d_tangles = nullptr;
    d_column = d_column2 = d_length = d_row1 = d_row2 = nullptr;
}
