#pragma once
// The WBP product of each symmetry level, for any number of slices (lanes; one
// slice is the one-lane case; layouts and items: gpu/batch_lanes.h). Each item
// is one (matrix row, lane) pair and sums that row with the lane's samples, in
// entry order (the row sums of wg_kernel.h), so every slice of a batch equals
// the slice reconstructed alone, bit for bit. host_run (wbp_batch_host.cpp) is
// the host backend's form with the same sums, with the vector set and scratch
// of the plan's host record.
#include "gpu/batch_lanes.h"
#include "wbp/wg_kernel.h"

namespace host_rows {
struct HostRun;
}

// Level 0: pixel r of slice l = sum of weight x sample over the row's entries.
struct cu_WBP_product_batch0 {
    const float* d_matrix;
    float* d_recons;  // lanes slices of npix
    const float* d_sino;
    const int* d_column;
    const int* d_length;
    int nRows, lanes, npix;
    int Ntilts, sinoX;  // read by the host form only

    SK_HD void operator()(int item) const {
        int r, l;
        batch_item(item, lanes, r, l);
        if (r >= nRows) return;
        d_recons[(long long)l * npix + r] = wbp_row_sum0(d_matrix, d_column, r, d_length[r], nRows, d_sino, lanes, l);
    }
    host_tiles::TileLayout tiles = {};  // the matrix's storage on the host (none: entry-major)
    host_rows::HostRun* host = nullptr;  // the plan's host record

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
    int Ntilts, sinoX;  // read by the host form only

    SK_HD void operator()(int item) const {
        int r, l;
        batch_item(item, lanes, r, l);
        if (r >= nRows) return;
        d_recons[(long long)l * npix + r] =
            wbp_row_sum1(d_matrix, d_column, r, d_length[r], nRows, factor, d_sino, lanes, l);
    }
    host_tiles::TileLayout tiles = {};  // the matrix's storage on the host (none: entry-major)
    host_rows::HostRun* host = nullptr;  // the plan's host record

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
    int Ntilts, sinoX;  // read by the host form only

    SK_HD void operator()(int item) const {
        int r, l;
        batch_item(item, lanes, r, l);
        if (r >= nRows) return;
        float A = 0.0f, B = 0.0f;
        add_mirrored_row(d_matrix, d_column, d_column2, r, d_length[r], nRows, factor, d_sino, lanes, l, A, B);
        float* slice = d_recons + (long long)l * npix;
        slice[r] = A;
        if (!wbp_centre_row(r, nRows, reconsX, thickness)) slice[npix - 1 - r] = B;
    }
    host_tiles::TileLayout tiles = {};  // the matrix's storage on the host (none: entry-major)
    host_rows::HostRun* host = nullptr;  // the plan's host record

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
        const int q1 = d_row1[r], q2 = d_row2[r];
        float A = 0.0f, B = 0.0f, C = 0.0f, D = 0.0f;
        wbp_row_sums3(d_matrix, d_column, d_column2, r, d_length[r], nRows, factor, Ntilts, sinoX, d_sino, lanes, l, A,
                      B, C, D);
        float* slice = d_recons + (long long)l * npix;
        const bool centre = wbp_centre_row(r, nRows, reconsX, thickness);
        atomic_add_float(slice + r, A);
        if (!centre) atomic_add_float(slice + (npix - 1 - r), B);
        atomic_add_float(slice + q1, C);
        if (!centre) atomic_add_float(slice + q2, D);
    }
    host_tiles::TileLayout tiles = {};  // the matrix's storage on the host (none: entry-major)
    host_rows::HostRun* host = nullptr;  // the plan's host record

    void host_run(const LaunchShape& s) const;
};
