// Host forms of the WBP matrix builds (host_simd/matrix_tiles.h): the same
// positions, tests and entries as the kernel bodies in wg_kernel.h.
#include "host_simd/matrix_tiles.h"
#include "wbp/wg_kernel.h"

namespace {

// Level 1 to 3 entry of tilt t for pixel (i, j): the weight of sample c, its
// column and, where column2 is given, the mirrored column.
struct SingleEntry {
    float* d_matrix;
    int* d_column;
    int* d_column2;
    int* d_length;
    const a* d_tangles;
    int reconsX, sinoX, nRows;
    float w_2, r_2, h_2, factor;

    int operator()(int t, int j, int i, int k) const {
        return wbp_single_entry(d_matrix, d_column, d_column2, d_length, d_tangles[t], t, reconsX * j + i, k,
                                (float)i - w_2, (float)j - h_2, r_2, sinoX, nRows, factor);
    }
};

}  // namespace

void cu_WBP_matrix0::host_run(const LaunchShape&) const {
    if (Ntilts == 0) return;
    host_rows::build_in_tiles(reconsY, reconsX, Ntilts, [&](int t, int j, int i, int k) {
        return wbp_pair_entries(d_matrix, d_column, d_length, d_tangles[t], t, reconsX * j + i, k, (float)i - w_2,
                                (float)j - h_2, r_2, sinoX, nRows, factor);
    });
}

void cu_WBP_matrixsym1::host_run(const LaunchShape&) const {
    if (Ntilts == 0) return;
    host_rows::build_in_tiles(
        reconsY, reconsX, Ntilts,
        SingleEntry{d_matrix, d_column, nullptr, d_length, d_tangles, reconsX, sinoX, nRows, w_2, r_2, h_2, factor});
}

void cu_WBP_matrixsym2::host_run(const LaunchShape&) const {
    if (Ntilts == 0) return;
    host_rows::build_in_tiles(
        reconsY, reconsX, Ntilts,
        SingleEntry{d_matrix, d_column, d_column2, d_length, d_tangles, reconsX, sinoX, nRows, w_2, r_2, h_2, factor});
}

void cu_WBP_matrixsym3::host_run(const LaunchShape&) const {
#pragma omp parallel for schedule(static)
    for (int j = 0; j < reconsY; ++j)
        for (int i = 0; i < reconsX; ++i) {
            const int r = reconsX * j + i;
            d_row1[r] = i + reconsX * (thickness - 1 - j);
            d_row2[r] = reconsX * (j + 1) - i - 1;
        }
    host_rows::build_in_tiles(
        reconsY, reconsX, Ntilts / 2 + 1,
        SingleEntry{d_matrix, d_column, d_column2, d_length, d_tangles, reconsX, sinoX, nRows, w_2, r_2, h_2, factor});
}
