// Fast host forms of the WBP kernels.
//
// The product reads the whole matrix once per slice and little else, so it is
// bound by memory bandwidth. The interleaved layout stores entry k of consecutive
// rows in consecutive words; walking entry k across a block of rows, with one
// running sum per row, reads every array front to back in long runs. Each row
// still adds its entries in entry order with the same operations as the per-row
// kernel body, so the sums are the same floats.
//
// Rows of a block have different lengths. Up to the shortest length every entry
// is live; beyond it a dead entry reads a harmless index and adds +0.0f, which
// leaves every sum unchanged (a sum that starts at +0 is never -0).
#include <omp.h>

#include <algorithm>
#include <cstddef>
#include <vector>

#include "gpu/wg_kernel.h"

namespace {

// Rows per block: long enough runs for the prefetchers, small enough that the
// block's sums stay in L1.
constexpr int kBlockRows = 1024;

struct RowBlock {
    int r0, count;         // rows r0 .. r0 + count - 1
    int min_len, max_len;  // shortest and longest row of the block
};

RowBlock row_block(const int* d_length, int r0, int count) {
    RowBlock b{r0, count, 0, 0};
    if (count <= 0) return b;
    int lo = d_length[r0], hi = d_length[r0];
    for (int q = 1; q < count; ++q) {
        lo = std::min(lo, d_length[r0 + q]);
        hi = std::max(hi, d_length[r0 + q]);
    }
    b.min_len = std::max(lo, 0);
    b.max_len = std::max(hi, 0);
    return b;
}

int block_count(int rows, int per_block) { return rows <= 0 ? 0 : (rows + per_block - 1) / per_block; }

// Runs the per-item body of a matrix kernel over slice rows j < rows in parallel,
// columns in order within a row, so that the entries of neighbouring pixels are
// written side by side.
template <class K>
void matrix_rows(const K& k, int rows, int cols) {
#pragma omp parallel for schedule(dynamic, 1)
    for (int j = 0; j < rows; ++j)
        for (int i = 0; i < cols; ++i) k(j, i);
}

// Level 0 and level 1 accumulation of one block into sum[0 .. count).
void accumulate0(const float* __restrict matrix, const int* __restrict column, const int* __restrict length,
                 const float* __restrict sino, size_t stride, const RowBlock& b, float* __restrict sum) {
    for (int k = 0; k < b.max_len; ++k) {
        const size_t off = (size_t)k * stride + (size_t)b.r0;
        const float* __restrict m = matrix + off;
        const int* __restrict col = column + off;
        if (k < b.min_len) {
            for (int q = 0; q < b.count; ++q) sum[q] = sum[q] + sino[col[q]] * m[q];
        } else {
            const int* __restrict len = length + b.r0;
            for (int q = 0; q < b.count; ++q) {
                const bool live = k < len[q];
                const float v = sino[live ? col[q] : 0] * m[q];
                sum[q] = sum[q] + (live ? v : 0.0f);
            }
        }
    }
}

void accumulate1(const float* __restrict matrix, const int* __restrict column, const int* __restrict length,
                 const float* __restrict sino, size_t stride, float factor, const RowBlock& b,
                 float* __restrict sum) {
    for (int k = 0; k < b.max_len; ++k) {
        const size_t off = (size_t)k * stride + (size_t)b.r0;
        const float* __restrict m = matrix + off;
        const int* __restrict col = column + off;
        if (k < b.min_len) {
            for (int q = 0; q < b.count; ++q) {
                const int c = col[q];
                sum[q] += sino[c] * m[q];
                sum[q] += sino[c + 1] * (factor - m[q]);
            }
        } else {
            const int* __restrict len = length + b.r0;
            for (int q = 0; q < b.count; ++q) {
                const bool live = k < len[q];
                const int c = live ? col[q] : 0;
                const float v0 = sino[c] * m[q], v1 = sino[c + 1] * (factor - m[q]);
                sum[q] += live ? v0 : 0.0f;
                sum[q] += live ? v1 : 0.0f;
            }
        }
    }
}

// Level 2 accumulation: own pixel a[] and point mirror b[].
struct Sym2Arrays {
    const float* matrix;
    const int* column;
    const int* column2;
    const int* length;
    const float* sino;
    size_t stride;
    float factor;
};

void accumulate2(const Sym2Arrays& s, const RowBlock& blk, float* __restrict A, float* __restrict B) {
    const float* __restrict sino = s.sino;
    for (int k = 0; k < blk.max_len; ++k) {
        const size_t off = (size_t)k * s.stride + (size_t)blk.r0;
        const float* __restrict m = s.matrix + off;
        const int* __restrict col = s.column + off;
        const int* __restrict col2 = s.column2 + off;
        const int* __restrict len = s.length + blk.r0;
        const bool all_live = k < blk.min_len;
        for (int q = 0; q < blk.count; ++q) {
            const bool live = all_live || k < len[q];
            const int c = live ? col[q] : 0, c2 = live ? col2[q] : 1;
            const float g = s.factor - m[q];
            const float a0 = sino[c] * m[q], a1 = sino[c + 1] * g;
            const float b0 = sino[c2] * m[q], b1 = sino[c2 - 1] * g;
            A[q] += live ? a0 : 0.0f;
            A[q] += live ? a1 : 0.0f;
            B[q] += live ? b0 : 0.0f;
            B[q] += live ? b1 : 0.0f;
        }
    }
}

// Level 3 accumulation: A, B as at level 2, plus C (depth mirror) and D (side
// mirror) from the opposite tilt for entries whose tilt has a partner.
struct Sym3Arrays {
    Sym2Arrays s2;
    int base, lo, hi;
};

void accumulate3(const Sym3Arrays& s, const RowBlock& blk, float* __restrict A, float* __restrict B,
                 float* __restrict C, float* __restrict D) {
    const float* __restrict sino = s.s2.sino;
    const float factor = s.s2.factor;
    const int base = s.base, lo = s.lo, hi = s.hi;
    for (int k = 0; k < blk.max_len; ++k) {
        const size_t off = (size_t)k * s.s2.stride + (size_t)blk.r0;
        const float* __restrict m = s.s2.matrix + off;
        const int* __restrict col = s.s2.column + off;
        const int* __restrict col2 = s.s2.column2 + off;
        const int* __restrict len = s.s2.length + blk.r0;
        const bool all_live = k < blk.min_len;
        // Own pixel and point mirror, then the opposite tilt over the same words
        // (still in L1): two simple loops vectorise where one would not.
        for (int q = 0; q < blk.count; ++q) {
            const bool live = all_live || k < len[q];
            const int c = live ? col[q] : 0, c2 = live ? col2[q] : 1;
            const float w = m[q], g = factor - w;
            const float a0 = sino[c] * w, a1 = sino[c + 1] * g;
            const float b0 = sino[c2] * w, b1 = sino[c2 - 1] * g;
            A[q] += live ? a0 : 0.0f;
            A[q] += live ? a1 : 0.0f;
            B[q] += live ? b0 : 0.0f;
            B[q] += live ? b1 : 0.0f;
        }
        for (int q = 0; q < blk.count; ++q) {
            const bool live = all_live || k < len[q];
            const int c = col[q], c2 = col2[q];
            const bool mir = live && c >= lo && c < hi;
            const int i1 = mir ? base - c2 - 1 : 0, i2 = mir ? base - c - 2 : 0;
            const float w = m[q], g = factor - w;
            const float c0 = w * sino[i1], c1 = sino[i1 + 1] * g;
            const float d0 = w * sino[i2 + 1], d1 = sino[i2] * g;
            C[q] += mir ? c0 : 0.0f;
            C[q] += mir ? c1 : 0.0f;
            D[q] += mir ? d0 : 0.0f;
            D[q] += mir ? d1 : 0.0f;
        }
    }
}

}  // namespace

// ---- matrix builds: the per-item body, rows in parallel -------------------------

void cu_WBP_matrix0::host_run(const LaunchShape&) const { matrix_rows(*this, reconsY, reconsX); }
void cu_WBP_matrixsym1::host_run(const LaunchShape&) const { matrix_rows(*this, reconsY, reconsX); }
void cu_WBP_matrixsym2::host_run(const LaunchShape&) const { matrix_rows(*this, reconsY, reconsX); }
void cu_WBP_matrixsym3::host_run(const LaunchShape&) const { matrix_rows(*this, reconsY, reconsX); }

// ---- products --------------------------------------------------------------------

void cu_WBP_product_kernel0::host_run(const LaunchShape&) const {
    const int blocks = block_count(nRows, kBlockRows);
#pragma omp parallel for schedule(dynamic, 2)
    for (int bi = 0; bi < blocks; ++bi) {
        const int r0 = bi * kBlockRows;
        const RowBlock b = row_block(d_length, r0, std::min(kBlockRows, nRows - r0));
        float sum[kBlockRows];
        std::fill(sum, sum + b.count, 0.0f);
        accumulate0(d_matrix, d_column, d_length, d_sino, (size_t)nRows, b, sum);
        std::copy(sum, sum + b.count, d_recons + r0);
    }
}

void cu_WBP_productsym1_kernel::host_run(const LaunchShape&) const {
    const int blocks = block_count(nRows, kBlockRows);
#pragma omp parallel for schedule(dynamic, 2)
    for (int bi = 0; bi < blocks; ++bi) {
        const int r0 = bi * kBlockRows;
        const RowBlock b = row_block(d_length, r0, std::min(kBlockRows, nRows - r0));
        float sum[kBlockRows];
        std::fill(sum, sum + b.count, 0.0f);
        accumulate1(d_matrix, d_column, d_length, d_sino, (size_t)nRows, factor, b, sum);
        std::copy(sum, sum + b.count, d_recons + r0);
    }
}

void cu_WBP_productsym2_kernel::host_run(const LaunchShape&) const {
    const Sym2Arrays s{d_matrix, d_column, d_column2, d_length, d_sino, (size_t)nRows, factor};
    const long long npix = (long long)reconsX * thickness;
    const int blocks = block_count(nRows, kBlockRows);
#pragma omp parallel for schedule(dynamic, 2)
    for (int bi = 0; bi < blocks; ++bi) {
        const int r0 = bi * kBlockRows;
        const RowBlock b = row_block(d_length, r0, std::min(kBlockRows, nRows - r0));
        float A[kBlockRows], B[kBlockRows];
        std::fill(A, A + b.count, 0.0f);
        std::fill(B, B + b.count, 0.0f);
        accumulate2(s, b, A, B);
        for (int q = 0; q < b.count; ++q) {
            const int r = r0 + q;
            d_recons[r] = A[q];
            if (!wbp_centre_row(r, nRows, reconsX, thickness)) d_recons[npix - 1 - r] = B[q];
        }
    }
}

// Level 3 without atomics: the two adds a pixel receives come from matrix rows of
// one slice row j (A and D for pixels of row j, B and C for pixels of row
// thickness - 1 - j), so a block of whole slice rows owns its output rows. Both
// adds land on the cleared value; fl(fl(0 + x) + y) does not depend on which of
// x, y comes first, so this equals the atomic form exactly.
void cu_WBP_productsym3_kernel::host_run(const LaunchShape&) const {
    if (nRows <= 0 || reconsX <= 0) return;
    const Sym3Arrays s{{d_matrix, d_column, d_column2, d_length, d_sino, (size_t)nRows, factor},
                       (Ntilts + 1) * sinoX,
                       wbp_mirrored_lo(sinoX),
                       wbp_mirrored_hi(Ntilts, sinoX)};
    const int W = reconsX, rows = nRows / W;
    const int rows_per_block = std::max(1, kBlockRows / W);
    const int blocks = block_count(rows, rows_per_block);
    const bool odd = (thickness & 1) != 0;
#pragma omp parallel
    {
        std::vector<float> acc(4 * (size_t)rows_per_block * W);
#pragma omp for schedule(dynamic, 1)
        for (int bi = 0; bi < blocks; ++bi) {
            const int j0 = bi * rows_per_block, j1 = std::min(rows, j0 + rows_per_block);
            const int count = (j1 - j0) * W;
            float* A = acc.data();
            float* B = A + count;
            float* C = B + count;
            float* D = C + count;
            std::fill(A, A + 4 * (size_t)count, 0.0f);
            accumulate3(s, row_block(d_length, j0 * W, count), A, B, C, D);
            for (int j = j0; j < j1; ++j) {
                const size_t q0 = (size_t)(j - j0) * W;
                float* own = d_recons + (size_t)j * W;
                float* mirror = d_recons + (size_t)(thickness - 1 - j) * W;
                if (odd && j == rows - 1) {
                    for (int i = 0; i < W; ++i) own[i] = (own[i] + A[q0 + i]) + C[q0 + i];
                    continue;
                }
                for (int i = 0; i < W; ++i) {
                    own[i] = (own[i] + A[q0 + i]) + D[q0 + W - 1 - i];
                    mirror[i] = (mirror[i] + C[q0 + i]) + B[q0 + W - 1 - i];
                }
            }
        }
    }
}
