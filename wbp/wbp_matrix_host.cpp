// Host forms of the WBP matrix builds (host_simd/matrix_build.h): the same
// positions, detector test and entries (wbp_entry) as the kernel bodies in
// wg_kernel.h. The buffers come zero-filled, so entries beyond a row's length
// are left as they are.
#include "host_simd/matrix_build.h"
#include "wbp/wg_kernel.h"

namespace {

// What a level stores per tilt: a pair of entries (level 0), or one entry with
// or without the mirrored column.
enum class Stores { pair, single, mirrored };

template <Stores S>
struct Build {
    float* d_matrix;
    int* d_column;
    int* d_column2;
    const a* d_tangles;
    int reconsX, sinoX, nRows;
    float w_2, r_2, h_2, factor;
    static constexpr int per_tilt = S == Stores::pair ? 2 : 1;

    float position(const a& tilt, float z, int i) const { return detector_position(tilt, (float)i - w_2, z, r_2); }
    bool on(int t, int j, int i) const { return wbp_on_detector(position(d_tangles[t], (float)j - h_2, i), sinoX); }

    void run(int t, int k, int j, int lo, int hi) const {
        const int e = reconsX * j + k * nRows;
        float* __restrict m = d_matrix + e;
        float* __restrict m1 = S == Stores::pair ? d_matrix + e + nRows : nullptr;
        int* __restrict c = d_column + e;
        int* __restrict c1 = S == Stores::pair ? d_column + e + nRows : nullptr;
        int* __restrict c2 = S == Stores::mirrored ? d_column2 + e : nullptr;
        const a tilt = d_tangles[t];
        const float z = (float)j - h_2;
        for (int i = lo; i < hi; ++i) {
            const WbpEntry v = wbp_entry(position(tilt, z, i), t, sinoX, factor);
            m[i] = v.weight;
            c[i] = v.column;
            if constexpr (S == Stores::pair) {
                m1[i] = v.next_weight;
                c1[i] = v.column + 1;
            }
            if constexpr (S == Stores::mirrored) c2[i] = v.column2;
        }
    }

    void one(int t, int k, int j, int i) const {
        const int e = reconsX * j + i + k * nRows;
        const WbpEntry v = wbp_entry(position(d_tangles[t], (float)j - h_2, i), t, sinoX, factor);
        d_matrix[e] = v.weight;
        d_column[e] = v.column;
        if constexpr (S == Stores::pair) {
            d_matrix[e + nRows] = v.next_weight;
            d_column[e + nRows] = v.column + 1;
        }
        if constexpr (S == Stores::mirrored) d_column2[e] = v.column2;
    }
};

}  // namespace

void cu_WBP_matrix0::host_run(const LaunchShape&) const {
    if (Ntilts == 0) return;
    host_rows::build_rows(reconsY, reconsX, Ntilts, d_length,
                          Build<Stores::pair>{d_matrix, d_column, nullptr, d_tangles, reconsX, sinoX, nRows, w_2, r_2,
                                              h_2, factor});
}

void cu_WBP_matrixsym1::host_run(const LaunchShape&) const {
    if (Ntilts == 0) return;
    host_rows::build_rows(reconsY, reconsX, Ntilts, d_length,
                          Build<Stores::single>{d_matrix, d_column, nullptr, d_tangles, reconsX, sinoX, nRows, w_2,
                                                r_2, h_2, factor});
}

void cu_WBP_matrixsym2::host_run(const LaunchShape&) const {
    if (Ntilts == 0) return;
    host_rows::build_rows(reconsY, reconsX, Ntilts, d_length,
                          Build<Stores::mirrored>{d_matrix, d_column, d_column2, d_tangles, reconsX, sinoX, nRows,
                                                  w_2, r_2, h_2, factor});
}

void cu_WBP_matrixsym3::host_run(const LaunchShape&) const {
#pragma omp parallel for schedule(static)
    for (int j = 0; j < reconsY; ++j) {
        int* __restrict row1 = d_row1 + reconsX * j;
        int* __restrict row2 = d_row2 + reconsX * j;
        for (int i = 0; i < reconsX; ++i) {
            row1[i] = wbp_depth_mirror(i, j, reconsX, thickness);
            row2[i] = wbp_side_mirror(i, j, reconsX);
        }
    }
    host_rows::build_rows(reconsY, reconsX, Ntilts / 2 + 1, d_length,
                          Build<Stores::mirrored>{d_matrix, d_column, d_column2, d_tangles, reconsX, sinoX, nRows,
                                                  w_2, r_2, h_2, factor});
}
