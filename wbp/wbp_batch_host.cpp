// Host forms of the WBP products. One lane takes the row-vectorised forms
// (wbp_rows_host.cpp); more take blocks of matrix rows in parallel, each walked
// entry by entry for one group of lanes at a time (host_simd/host_rows_batch.h),
// the sums then written to the slices as the per-item bodies write them.
#include <algorithm>
#include <cstddef>

#include "host_simd/host_rows_batch.h"
#include "wbp/wbp_batch_kernel.h"

namespace {

using host_rows::BatchLanes;
using host_rows::batch_blocks;
using host_rows::Matrix;
using host_rows::RowBlock;

// Writes sum s of each row of a block to the lane slices at pixel(q).
template <class Pixel>
void write_sums(float* d_recons, long long npix, const float* acc, int count, int sums, int s, int l0, int w,
                const Pixel& pixel) {
    for (int l = 0; l < w; ++l) {
        float* slice = d_recons + (size_t)(l0 + l) * npix;
        for (int q = 0; q < count; ++q) {
            const long long p = pixel(q);
            if (p >= 0) slice[p] = acc[((size_t)q * sums + s) * w + l];
        }
    }
}

}  // namespace

void cu_WBP_product_batch0::host_run(const LaunchShape&) const {
    if (lanes == 1) return host_run_rows();
    const Matrix m{d_matrix, d_column, d_length, (size_t)nRows};
    batch_blocks(nRows, 1, 1, lanes, [&](const auto& f, int r0, int count, int l0, int w, float* acc) {
        f.level0(m, BatchLanes{d_sino, lanes, l0, w}, host_rows::row_block(d_length, r0, count), acc);
        write_sums(d_recons, npix, acc, count, 1, 0, l0, w, [&](int q) { return (long long)r0 + q; });
    });
}

void cu_WBP_productsym1_batch::host_run(const LaunchShape&) const {
    if (lanes == 1) return host_run_rows();
    const Matrix m{d_matrix, d_column, d_length, (size_t)nRows};
    batch_blocks(nRows, 1, 1, lanes, [&](const auto& f, int r0, int count, int l0, int w, float* acc) {
        f.level1(m, BatchLanes{d_sino, lanes, l0, w}, factor, host_rows::row_block(d_length, r0, count), acc);
        write_sums(d_recons, npix, acc, count, 1, 0, l0, w, [&](int q) { return (long long)r0 + q; });
    });
}

void cu_WBP_productsym2_batch::host_run(const LaunchShape&) const {
    if (lanes == 1) return host_run_rows();
    const Matrix m{d_matrix, d_column, d_length, (size_t)nRows};
    batch_blocks(nRows, 1, 2, lanes, [&](const auto& f, int r0, int count, int l0, int w, float* acc) {
        f.mirrored(m, d_column2, BatchLanes{d_sino, lanes, l0, w}, factor, host_rows::row_block(d_length, r0, count),
                   acc);
        write_sums(d_recons, npix, acc, count, 2, 0, l0, w, [&](int q) { return (long long)r0 + q; });
        write_sums(d_recons, npix, acc, count, 2, 1, l0, w, [&](int q) {
            const int r = r0 + q;
            return wbp_centre_row(r, nRows, reconsX, thickness) ? -1LL : (long long)npix - 1 - r;
        });
    });
}

// Level 3 without atomics, as the one-lane form: a block of whole
// slice rows j owns the pixels of rows j and thickness - 1 - j, and both adds a
// pixel receives land on its cleared value (fl(fl(0 + x) + y) does not depend
// on which of x, y comes first).
void cu_WBP_productsym3_batch::host_run(const LaunchShape&) const {
    if (lanes == 1) return host_run_rows();
    if (nRows <= 0 || reconsX <= 0) return;
    const Matrix m{d_matrix, d_column, d_length, (size_t)nRows};
    const host_rows::OppositeTilts o{(Ntilts + 1) * sinoX, wbp_mirrored_lo(sinoX), wbp_mirrored_hi(Ntilts, sinoX)};
    const int W = reconsX, rows = nRows / W;
    const bool odd = (thickness & 1) != 0;
    batch_blocks(rows, W, 4, lanes, [&](const auto& f, int j0, int count, int l0, int w, float* acc) {
        f.level3(m, d_column2, BatchLanes{d_sino, lanes, l0, w}, factor, o,
                 host_rows::row_block(d_length, j0 * W, count * W), acc);
        // acc[(q * 4 + s) * w + l]: s = A, B, C, D of row q of the block.
        auto sum = [&](int j, int i, int s, int l) { return acc[(((size_t)(j - j0) * W + i) * 4 + s) * w + l]; };
        for (int l = 0; l < w; ++l) {
            float* slice = d_recons + (size_t)(l0 + l) * npix;
            for (int j = j0; j < j0 + count; ++j) {
                float* own = slice + (size_t)j * W;
                float* mirror = slice + (size_t)(thickness - 1 - j) * W;
                if (odd && j == rows - 1) {
                    for (int i = 0; i < W; ++i) own[i] = (own[i] + sum(j, i, 0, l)) + sum(j, i, 2, l);
                    continue;
                }
                for (int i = 0; i < W; ++i) {
                    own[i] = (own[i] + sum(j, i, 0, l)) + sum(j, W - 1 - i, 3, l);
                    mirror[i] = (mirror[i] + sum(j, i, 2, l)) + sum(j, W - 1 - i, 1, l);
                }
            }
        }
    });
}
