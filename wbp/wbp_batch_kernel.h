#pragma once
// The WBP products of a batch of slices (layouts and items: gpu/batch_lanes.h).
// Each item is one (matrix row, lane) pair and does exactly what the
// single-slice kernel of its level does for that row, reading the lane's
// samples: the same operations in the same order, so every slice of a batch
// equals the slice that the single-slice product gives, bit for bit.
// host_run (wbp_batch_host.cpp) is the host backend's form, vectorised over the
// lanes, with the same sums.
#include "gpu/batch_lanes.h"
#include "wbp/wg_kernel.h"

// Level 0: pixel r of slice l = sum of weight x sample over the row's entries.
struct cu_WBP_product_batch0 {
    const float* d_matrix;
    float* d_recons;  // lanes slices of npix
    const float* d_sino;
    const int* d_column;
    const int* d_length;
    int nRows, lanes, npix;

    SK_HD void operator()(int item) const {
        int r, l;
        batch_item(item, lanes, r, l);
        if (r >= nRows) return;
        const int n = d_length[r];
        float sum = 0.0f;
        for (int k = 0; k < n; ++k) {
            const int e = r + k * nRows;
            sum = sum + lane_sample(d_sino, lanes, l, d_column[e]) * d_matrix[e];
        }
        d_recons[(long long)l * npix + r] = sum;
    }
    void host_run(const LaunchShape& s) const;
};

// Level 1: samples c and c + 1, weights m and factor - m.
struct cu_WBP_productsym1_batch {
    const float* d_matrix;
    float* d_recons;
    const float* d_sino;
    const int* d_column;
    const int* d_length;
    int nRows, lanes, npix;
    float factor;

    SK_HD void operator()(int item) const {
        int r, l;
        batch_item(item, lanes, r, l);
        if (r >= nRows) return;
        const int n = d_length[r];
        float sum = 0.0f;
        for (int k = 0; k < n; ++k) {
            const int e = r + k * nRows;
            const float m = d_matrix[e];
            const int col = d_column[e];
            sum += lane_sample(d_sino, lanes, l, col) * m;
            sum += lane_sample(d_sino, lanes, l, col + 1) * (factor - m);
        }
        d_recons[(long long)l * npix + r] = sum;
    }
    void host_run(const LaunchShape& s) const;
};

// Level 2: own pixel A and point mirror B (not for the centre row of an odd thickness).
struct cu_WBP_productsym2_batch {
    const float* d_matrix;
    float* d_recons;
    const float* d_sino;
    const int* d_column;
    const int* d_column2;
    const int* d_length;
    int nRows, lanes, npix;
    float factor;
    int reconsX, thickness;

    SK_HD void operator()(int item) const {
        int r, l;
        batch_item(item, lanes, r, l);
        if (r >= nRows) return;
        const int n = d_length[r];
        float A = 0.0f, B = 0.0f;
        for (int k = 0; k < n; ++k) {
            const int e = r + k * nRows;
            const float m = d_matrix[e];
            add_mirrored_pairs(d_sino, lanes, l, d_column[e], d_column2[e], m, factor - m, A, B);
        }
        float* slice = d_recons + (long long)l * npix;
        slice[r] = A;
        if (!wbp_centre_row(r, nRows, reconsX, thickness)) slice[npix - 1 - r] = B;
    }
    void host_run(const LaunchShape& s) const;
};

// Level 3: A, B from the stored tilts, C, D from the opposite ones, added
// atomically into the cleared slices.
struct cu_WBP_productsym3_batch {
    const float* d_matrix;
    float* d_recons;
    const float* d_sino;
    const int* d_column;
    const int* d_column2;
    const int* d_length;
    const int* d_row1;
    const int* d_row2;
    int nRows, lanes, npix;
    float factor;
    int Ntilts, sinoX;
    int reconsX, thickness;

    SK_HD void operator()(int item) const {
        int r, l;
        batch_item(item, lanes, r, l);
        if (r >= nRows) return;
        const int n = d_length[r], q1 = d_row1[r], q2 = d_row2[r];
        const int base = (Ntilts + 1) * sinoX;
        const int lo = wbp_mirrored_lo(sinoX), hi = wbp_mirrored_hi(Ntilts, sinoX);
        float A = 0.0f, B = 0.0f, C = 0.0f, D = 0.0f;
        for (int k = 0; k < n; ++k) {
            const int e = r + k * nRows;
            const float m = d_matrix[e];
            const int col = d_column[e], col2 = d_column2[e];
            const float g = factor - m;
            add_mirrored_pairs(d_sino, lanes, l, col, col2, m, g, A, B);
            if (col >= lo && col < hi) {
                C += m * lane_sample(d_sino, lanes, l, base - col2 - 1);
                C += lane_sample(d_sino, lanes, l, base - col2) * g;
                D += m * lane_sample(d_sino, lanes, l, base - col - 1);
                D += lane_sample(d_sino, lanes, l, base - col - 2) * g;
            }
        }
        float* slice = d_recons + (long long)l * npix;
        const bool centre = wbp_centre_row(r, nRows, reconsX, thickness);
        atomic_add_float(slice + r, A);
        if (!centre) atomic_add_float(slice + (npix - 1 - r), B);
        atomic_add_float(slice + q1, C);
        if (!centre) atomic_add_float(slice + q2, D);
    }
    void host_run(const LaunchShape& s) const;
};
