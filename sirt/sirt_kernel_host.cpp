// Host backend forms of the SIRT kernels. They compute exactly what the
// per-item bodies compute, in the same order per element, but walk memory the
// way a CPU wants: the one-lane back-projection streams its matrix entry by
// entry across blocks of whole tiles with the vector forms of host_rows.h
// (the forward projection has one form for any lane count,
// sirt_batch_host.cpp), the 2-D kernels run rows of contiguous elements.
#include <algorithm>
#include <cstddef>

#include "host_simd/host_rows.h"
#include "host_simd/matrix_build.h"
#include "sirt/sirt_batch_kernel.h"

namespace {

using host_rows::block_count;
using host_rows::block_rows;
using host_rows::kMaxBlockRows;
using host_rows::Matrix;
using host_rows::RowBlock;

}  // namespace

// The back-projection's sums are those of the WBP level-2 product with factor
// 1: s1 from samples c, c + 1 and s2 from the mirror samples, read side by side
// from a table of the error sinogram.
void cu_SIRT_product_batch::host_run_rows() const {
    if (nRows <= 0) return;
    float* table = host_rows::table_buffer((size_t)4 * sinoX * Ntilts);
    const Matrix m{d_matrix, d_column, d_length, (size_t)alignment_n};
    const int units = sirt_units(tiles, nRows);
    const int per = std::max(1, block_rows(nRows) / sirt_unit_rows(tiles)), blocks = block_count(units, per);
#pragma omp parallel
    {
        host_rows::fill_level2_table(table, d_sinoaux, sinoX, Ntilts);
#pragma omp for schedule(dynamic, 1)
        for (int bi = 0; bi < blocks; ++bi) {
            const int u0 = bi * per, u1 = std::min(units, u0 + per);
            const int first = sirt_unit_first(tiles, u0, nRows), count = sirt_unit_first(tiles, u1, nRows) - first;
            const RowBlock rb = host_rows::row_block(d_length, first, count);
            float acc[2 * kMaxBlockRows];  // s1, s2 of each row
            std::fill(acc, acc + 2 * rb.count, 0.0f);
            host_rows::accumulators().table2(m, table, 1.0f, rb, acc);
            // Every slice element belongs to one row (r < nRows, mirrors >= nRows).
            sirt_unit_pixels(tiles, u0, u1, [&](int r, int pixel) {
                const int q = r - first, mirror = npix - 1 - pixel;
                d_recons[pixel] = d_recons[pixel] + acc[2 * q];
                if (mirror >= nRows) d_recons[mirror] = d_recons[mirror] + acc[2 * q + 1];
            });
        }
    }
}

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
