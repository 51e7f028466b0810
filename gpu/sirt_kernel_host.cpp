// Host backend forms of the SIRT kernels. They compute exactly what the
// per-item bodies compute, in the same order per element, but walk memory the
// way a CPU wants: the products stream their interleaved matrices entry by
// entry across blocks of consecutive rows, the 2-D kernels run rows of
// contiguous elements.
#include <algorithm>
#include <climits>
#include <cstddef>

#include "gpu/sirt_kernel.h"

namespace {

// Rows per block of the products: per-row sums stay in L1, and every entry
// index k reads one contiguous run of this many weights and indices.
constexpr int kRowBlock = 512;

struct RowBlock {
    int r0, n;       // rows r0 .. r0 + n - 1
    int kmin, kmax;  // shortest and longest row length among them
};

int row_block_count(int rows) { return (rows + kRowBlock - 1) / kRowBlock; }

RowBlock row_block(const int* length, int rows, int block) {
    RowBlock b{block * kRowBlock, std::min(kRowBlock, rows - block * kRowBlock), INT_MAX, 0};
    for (int q = 0; q < b.n; ++q) {
        b.kmin = std::min(b.kmin, length[b.r0 + q]);
        b.kmax = std::max(b.kmax, length[b.r0 + q]);
    }
    return b;
}

// Per-row sums of the forward projection for one block of transposed rows.
void fw_sums(const cu_SIRT_fwproduct_kernel& K, const RowBlock& rb, float* s1, float* s2) {
    const int* len = K.d_length_t + rb.r0;
    const float* x = K.d_recons;
    for (int k = 0; k < rb.kmax; ++k) {
        const size_t base = (size_t)k * K.alignment + rb.r0;
        const float* w = K.d_matrix_t + base;
        const int* col = K.d_column_t + base;
        if (k < rb.kmin) {
            for (int q = 0; q < rb.n; ++q) {
                const float v = x[col[q]];
                s1[q] = s1[q] + v * w[q];
                s2[q] = s2[q] + v * (1.0f - w[q]);
            }
        } else {
            for (int q = 0; q < rb.n; ++q) {
                if (k >= len[q]) continue;
                const float v = x[col[q]];
                s1[q] = s1[q] + v * w[q];
                s2[q] = s2[q] + v * (1.0f - w[q]);
            }
        }
    }
}

// Adds a block's sums into the sinogram. Bins grow with the row, so only the
// first row's bin and the last row's bin + 1 can be shared with a neighbouring
// block; those two additions are atomic, the rest plain.
void fw_scatter(const cu_SIRT_fwproduct_kernel& K, const RowBlock& rb, const float* s1, const float* s2) {
    for (int q = 0; q < rb.n; ++q) {
        const int r = rb.r0 + q;
        if (K.d_length_t[r] == 0) continue;
        float* y = K.d_sinoaux + K.d_idrow_t[r];
        if (q == 0) atomic_add_float(y, s1[q]);
        else y[0] += s1[q];
        if (q == rb.n - 1) atomic_add_float(y + 1, s2[q]);
        else y[1] += s2[q];
    }
}

// Per-row sums of the back-projection for one block of half-slice rows.
void product_sums(const cu_SIRT_product_kernel& K, const RowBlock& rb, float* s1, float* s2) {
    const int* len = K.d_length + rb.r0;
    const float* g = K.d_sinoaux;
    for (int k = 0; k < rb.kmax; ++k) {
        const size_t base = (size_t)k * K.alignment_n + rb.r0;
        const float* w = K.d_matrix + base;
        const int* col = K.d_column + base;
        const int* col2 = K.d_column2 + base;
        const int qmax = rb.n;
        if (k < rb.kmin) {
            for (int q = 0; q < qmax; ++q) {
                const float wq = w[q], vq = 1.0f - wq;
                s1[q] = s1[q] + g[col[q]] * wq;
                s1[q] = s1[q] + g[col[q] + 1] * vq;
                s2[q] = s2[q] + g[col2[q]] * wq;
                s2[q] = s2[q] + g[col2[q] - 1] * vq;
            }
        } else {
            for (int q = 0; q < qmax; ++q) {
                if (k >= len[q]) continue;
                const float wq = w[q], vq = 1.0f - wq;
                s1[q] = s1[q] + g[col[q]] * wq;
                s1[q] = s1[q] + g[col[q] + 1] * vq;
                s2[q] = s2[q] + g[col2[q]] * wq;
                s2[q] = s2[q] + g[col2[q] - 1] * vq;
            }
        }
    }
}

}  // namespace

void cu_SIRT_fwproduct_kernel::host_run(const LaunchShape&) const {
    const int blocks = row_block_count(nrows);
#pragma omp parallel for schedule(dynamic, 1)
    for (int b = 0; b < blocks; ++b) {
        const RowBlock rb = row_block(d_length_t, nrows, b);
        float s1[kRowBlock] = {}, s2[kRowBlock] = {};
        fw_sums(*this, rb, s1, s2);
        fw_scatter(*this, rb, s1, s2);
    }
}

void cu_SIRT_product_kernel::host_run(const LaunchShape&) const {
    const int blocks = row_block_count(nRows);
#pragma omp parallel for schedule(dynamic, 1)
    for (int b = 0; b < blocks; ++b) {
        const RowBlock rb = row_block(d_length, nRows, b);
        float s1[kRowBlock] = {}, s2[kRowBlock] = {};
        product_sums(*this, rb, s1, s2);
        // Every slice element belongs to one row (r < nRows, mirrors >= nRows).
        for (int q = 0; q < rb.n; ++q) {
            const int r = rb.r0 + q, m = npix - 1 - r;
            d_recons[r] = d_recons[r] + s1[q];
            if (m >= nRows) d_recons[m] = d_recons[m] + s2[q];
        }
    }
}

void cu_SIRT_matrix::host_run(const LaunchShape&) const {
#pragma omp parallel for schedule(dynamic, 1)
    for (int j = 0; j < reconsY; ++j)
        for (int i = 0; i < reconsX; ++i) (*this)(j, i);
}

// Each item owns its row of weights, so plain additions give the atomic sums.
void cu_SIRT_weights::host_run(const LaunchShape&) const {
#pragma omp parallel for schedule(dynamic, 1)
    for (int t = 0; t < nRows; ++t) add_row(t, SirtPlainAdd{});
}

void cu_SIRT_invertweights::host_run(const LaunchShape&) const {
#pragma omp parallel for schedule(static)
    for (int t = 0; t < Ntilts; ++t)
        for (int c = 0; c < sinoX; ++c) (*this)(t, c);
}

void cu_SIRT_comperror::host_run(const LaunchShape&) const {
    const int n = sinoY * sinoX;
#pragma omp parallel for schedule(static)
    for (int e = 0; e < n; ++e) d_sinoaux[e] = d_sino[e] - d_sinoaux[e] * d_weights[e];
}
