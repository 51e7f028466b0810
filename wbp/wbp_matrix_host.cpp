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
        const float p = detector_position(d_tangles[t], (float)i - w_2, (float)j - h_2, r_2);
        if (!wbp_on_detector(p, sinoX)) return 0;
        const int r = reconsX * j + i, c = (int)p;
        const float f = p - (float)c;
        d_matrix[r + k * nRows] = factor * (1.0f - f);
        d_column[r + k * nRows] = c + t * sinoX;
        if (d_column2) d_column2[r + k * nRows] = t * sinoX + (sinoX - 1 - c);
        d_length[r] += 1;
        return 1;
    }
};

}  // namespace

void cu_WBP_matrix0::host_run(const LaunchShape&) const {
    if (Ntilts == 0) return;
    host_rows::build_in_tiles(reconsY, reconsX, Ntilts, [&](int t, int j, int i, int k) {
        const float p = detector_position(d_tangles[t], (float)i - w_2, (float)j - h_2, r_2);
        if (!wbp_on_detector(p, sinoX)) return 0;
        const int r = reconsX * j + i, c = (int)p;
        const float f = p - (float)c;
        d_matrix[r + k * nRows] = factor * (1.0f - f);
        d_column[r + k * nRows] = c + t * sinoX;
        d_length[r] += 1;
        d_matrix[r + (k + 1) * nRows] = f * factor;
        d_column[r + (k + 1) * nRows] = c + t * sinoX + 1;
        d_length[r] += 1;
        return 2;
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
