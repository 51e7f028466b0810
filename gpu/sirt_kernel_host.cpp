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
constexpr int kRowBlock = 1024;

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

// A range of a block's rows holding every row still active at entry k
// (length > k). It only shrinks as k grows, from both ends; rows inside it that
// are already done are masked. Row lengths vary smoothly along the detector,
// so the range stays close to the active rows.
struct ActiveRange {
    int lo, hi;
    void shrink(const int* len, int k) {
        while (lo < hi && len[lo] <= k) ++lo;
        while (hi > lo && len[hi - 1] <= k) --hi;
    }
};

// Walks the entries of a block Step at a time, handing pass.run<E, Masked>(k,
// lo, hi) the rows lo .. hi - 1 whose entries k .. k + E - 1 it adds, in entry
// order. Several entries per pass keep more independent loads in flight;
// Masked passes cover rows that may have ended, whose zero padding entries are
// read and masked to add +0 (which leaves every sum bit for bit unchanged).
template <int Step, class Pass>
void walk_entries(const int* len, const RowBlock& rb, Pass pass) {
    ActiveRange active{0, rb.n};
    for (int k = 0; k < rb.kmax; k += Step) {
        if (k + Step - 1 < rb.kmin) {
            pass.template run<Step, false>(k, 0, rb.n);
            continue;
        }
        active.shrink(len, k);
        const int left = rb.kmax - k;
        if (left >= Step) pass.template run<Step, true>(k, active.lo, active.hi);
        else if (Step > 2 && left == 3) pass.template run<3, true>(k, active.lo, active.hi);
        else if (left == 2) pass.template run<2, true>(k, active.lo, active.hi);
        else pass.template run<1, true>(k, active.lo, active.hi);
    }
}

// Per-row sums of the forward projection for one block of transposed rows.
struct ForwardPass {
    const cu_SIRT_fwproduct_kernel& K;
    const RowBlock& rb;
    float* s1;
    float* s2;

    template <int E, bool Masked>
    void run(int k, int lo, int hi) const {
        const int* len = K.d_length_t + rb.r0;
        const float* x = K.d_recons;
        const float* w[E];
        const int* col[E];
        for (int e = 0; e < E; ++e) {
            const size_t base = (size_t)(k + e) * K.alignment + rb.r0;
            w[e] = K.d_matrix_t + base;
            col[e] = K.d_column_t + base;
        }
        for (int q = lo; q < hi; ++q)
            for (int e = 0; e < E; ++e) {
                float v = x[col[e][q]];
                if (Masked) v = k + e < len[q] ? v : 0.0f;
                s1[q] = s1[q] + v * w[e][q];
                s2[q] = s2[q] + v * (1.0f - w[e][q]);
            }
    }
};

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
struct BackPass {
    const cu_SIRT_product_kernel& K;
    const RowBlock& rb;
    float* s1;
    float* s2;

    template <int E, bool Masked>
    void run(int k, int lo, int hi) const {
        const int* len = K.d_length + rb.r0;
        const float* g = K.d_sinoaux;
        const float* w[E];
        const int* col[E];
        const int* col2[E];
        for (int e = 0; e < E; ++e) {
            const size_t base = (size_t)(k + e) * K.alignment_n + rb.r0;
            w[e] = K.d_matrix + base;
            col[e] = K.d_column + base;
            col2[e] = K.d_column2 + base;
        }
        for (int q = lo; q < hi; ++q)
            for (int e = 0; e < E; ++e) {
                const int c = col[e][q];
                // Padding holds column 0 for both samples; keep its mirror read in bounds.
                const int c2 = Masked ? std::max(col2[e][q], 1) : col2[e][q];
                const float ga1 = g[c], ga2 = g[c + 1], gb1 = g[c2], gb2 = g[c2 - 1];
                const bool on = !Masked || k + e < len[q];
                const float a1 = on ? ga1 : 0.0f, a2 = on ? ga2 : 0.0f;
                const float b1 = on ? gb1 : 0.0f, b2 = on ? gb2 : 0.0f;
                const float wq = w[e][q], vq = 1.0f - wq;
                s1[q] = s1[q] + a1 * wq;
                s1[q] = s1[q] + a2 * vq;
                s2[q] = s2[q] + b1 * wq;
                s2[q] = s2[q] + b2 * vq;
            }
    }
};

}  // namespace

void cu_SIRT_fwproduct_kernel::host_run(const LaunchShape&) const {
    const int blocks = row_block_count(nrows);
#pragma omp parallel for schedule(dynamic, 1)
    for (int b = 0; b < blocks; ++b) {
        const RowBlock rb = row_block(d_length_t, nrows, b);
        float s1[kRowBlock] = {}, s2[kRowBlock] = {};
        walk_entries<4>(d_length_t + rb.r0, rb, ForwardPass{*this, rb, s1, s2});
        fw_scatter(*this, rb, s1, s2);
    }
}

void cu_SIRT_product_kernel::host_run(const LaunchShape&) const {
    const int blocks = row_block_count(nRows);
#pragma omp parallel for schedule(dynamic, 1)
    for (int b = 0; b < blocks; ++b) {
        const RowBlock rb = row_block(d_length, nRows, b);
        float s1[kRowBlock] = {}, s2[kRowBlock] = {};
        walk_entries<2>(d_length + rb.r0, rb, BackPass{*this, rb, s1, s2});
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
