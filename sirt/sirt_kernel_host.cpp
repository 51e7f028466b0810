// Host backend forms of the SIRT kernels. They compute exactly what the
// per-item bodies compute, in the same order per element, but walk memory the
// way a CPU wants: the matrix build writes runs of entries, the 2-D kernels run
// rows of contiguous elements (the products: sirt_batch_host.cpp).
#include <algorithm>
#include <cstddef>

#include "host_simd/matrix_build.h"
#include "sirt/sirt_batch_kernel.h"

namespace {

// The half-slice matrix in runs (host_simd/matrix_build.h), with the kernel
// body's positions, range test and entries (sirt_entry), into zero-filled buffers.
struct HalfMatrixBuild {
    const cu_SIRT_matrix& K;
    host_tiles::TileLayout L;  // the stored layout, plain where none is given
    static constexpr int per_tilt = 1;

    float position(const a& tilt, float z, int i) const {
        return detector_position(tilt, (float)i - K.w_2, z, K.r_2);
    }
    bool on(int t, int j, int i) const {
        return sirt_in_range(position(K.d_tangles[t], (float)j - K.h_2, i), K.sinoX);
    }
    int row_of(int j, int i) const { return (int)host_tiles::spot_of(L, j, i).pixel; }
    void run(int t, int k, int j, int lo, int hi) const {
        const a tilt = K.d_tangles[t];
        const float z = (float)j - K.h_2;
        // Pieces of the span within one tile are consecutive stored rows.
        host_tiles::each_piece(L, lo, hi, [&](int from, int to) {
            const int e = row_of(j, from) - from + k * K.alignment_n;
            float* __restrict m = K.d_matrix + e;
            int* __restrict c = K.d_column + e;
            int* __restrict c2 = K.d_column2 + e;
            for (int i = from; i < to; ++i) {
                const SirtEntry v = sirt_entry(position(tilt, z, i), t, K.sinoX);
                m[i] = v.weight;
                c[i] = v.column;
                c2[i] = v.column2;
            }
        });
    }
    void one(int t, int k, int j, int i) const {
        const int e = row_of(j, i) + k * K.alignment_n;
        const SirtEntry v = sirt_entry(position(K.d_tangles[t], (float)j - K.h_2, i), t, K.sinoX);
        K.d_matrix[e] = v.weight;
        K.d_column[e] = v.column;
        K.d_column2[e] = v.column2;
    }
};

}  // namespace

void cu_SIRT_matrix::host_run(const LaunchShape&) const {
    if (Ntilts == 0) return;
    const host_tiles::TileLayout L = host_tiles::or_whole(tiles, reconsY, reconsX);
    host_rows::build_rows(reconsY, reconsX, Ntilts, d_length, HalfMatrixBuild{*this, L});
    // The build counts lengths in pixel order; the rows are stored by tiles.
    host_tiles::to_tile_order(L, d_length);
}

// The row form: one tilt per thread, adding in the order every item sums in.
void cu_SIRT_weights::host_run(const LaunchShape&) const {
#pragma omp parallel for schedule(dynamic, 1)
    for (int t = 0; t < nRows; ++t) add_row(t, SirtPlainAdd{});
}

void cu_SIRT_invertweights::host_run(const LaunchShape&) const {
#pragma omp parallel for schedule(static)
    for (int t = 0; t < Ntilts; ++t)
        for (int c = 0; c < sinoX; ++c) (*this)(t, c);
}
