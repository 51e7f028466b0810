#pragma once
// The SIRT iteration of any number of slices (lanes; one slice is the one-lane
// case; layouts and items: gpu/batch_lanes.h). Sinograms, error sinograms and
// slices are all interleaved; each (row, lane) item sums its row with the lane's
// values in entry order, so every slice of a batch equals the slice
// reconstructed alone, bit for bit. host_run (sirt_batch_host.cpp) is the host
// backend's form, with the vector set and scratch of the plan's host record.
#include "gpu/batch_lanes.h"
#include "sirt/sirt_kernel.h"

namespace host_rows {
struct HostRun;
}

// Scales projection row t of every lane by factor * |cos_a| / thickness (item t).
struct cu_SIRT_weightsinogram_batch {
    float* d_sino;
    const a* d_tangles;
    int Ntilts, sinoX, thickness, lanes;
    float factor;

    SK_HD void operator()(int t) const {
        if (t >= Ntilts || sinoX <= 0) return;
        const float s = sirt_tilt_scale(d_tangles[t], thickness, factor);
        float* row = d_sino + (long long)t * sinoX * lanes;
        for (int e = 0; e < sinoX * lanes; ++e) row[e] *= s;
    }
};

// Error sinograms: measured minus weighted projection, every lane. 2-D: t, c.
struct cu_SIRT_comperror_batch {
    float* d_sinoaux;
    const float* d_sino;
    const float* d_weights;
    int sinoY, sinoX, lanes;

    SK_HD void operator()(int t, int c) const {
        if (t >= sinoY || c >= sinoX) return;
        const int e = t * sinoX + c;
        const float v = d_weights[e];
        for (int l = 0; l < lanes; ++l) {
            const long long i = (long long)e * lanes + l;
            d_sinoaux[i] = d_sino[i] - d_sinoaux[i] * v;
        }
    }
    void host_run(const LaunchShape& s) const;
};

// Back-projection Q of the error of lane l into its slice: pixel r and,
// unless it is a matrix row itself, the point mirror npix - 1 - r.
struct cu_SIRT_product_batch {
    const float* d_matrix;
    float* d_recons;
    const float* d_sinoaux;
    const int* d_column;
    const int* d_column2;
    const int* d_length;
    int nRows, alignment_n, npix, lanes;
    int Ntilts, sinoX;  // read by the host form only
    // The host layout (sirt_tiles.h); the item body reads the plain one.
    host_tiles::TileLayout tiles{};
    host_rows::HostRun* host = nullptr;  // the plan's host record

    SK_HD void operator()(int item) const {
        int r, l;
        batch_item(item, lanes, r, l);
        if (r >= nRows) return;
        float s1 = 0.0f, s2 = 0.0f;
        add_mirrored_row(d_matrix, d_column, d_column2, r, d_length[r], alignment_n, 1.0f, d_sinoaux, lanes, l, s1,
                         s2);
        float* x = d_recons + l;
        x[(long long)r * lanes] = x[(long long)r * lanes] + s1;
        const int m = npix - 1 - r;
        if (m >= nRows) x[(long long)m * lanes] = x[(long long)m * lanes] + s2;
    }
    void host_run(const LaunchShape& s) const;
};

// Forward projection P of lane l's slice: transposed row r gathers its pixels
// into bin b (weight w) and b + 1 (weight 1 - w) of the lane's sinogram.
struct cu_SIRT_fwproduct_batch {
    const float* d_matrix_t;
    const float* d_recons;
    float* d_sinoaux;
    const int* d_column_t;
    const int* d_length_t;
    const int* d_idrow_t;
    int nrows, alignment, lanes;
    // The host layout (sirt_bands.h) with more than one band; the item body
    // reads the plain layout.
    int bands = 1;
    host_rows::HostRun* host = nullptr;  // the plan's host record

    SK_HD void operator()(int item) const {
        int r, l;
        batch_item(item, lanes, r, l);
        if (r >= nrows) return;
        const int len = d_length_t[r];
        if (len == 0) return;  // adds nothing, and bin 0 + 1 may lie outside a one-sample sinogram
        const int b = d_idrow_t[r];
        float s1 = 0.0f, s2 = 0.0f;
        sirt_gather_row(d_matrix_t, d_column_t, r, len, alignment, d_recons, lanes, l, s1, s2);
        atomic_add_float(d_sinoaux + ((long long)b * lanes + l), s1);
        atomic_add_float(d_sinoaux + ((long long)(b + 1) * lanes + l), s2);
    }
    void host_run(const LaunchShape& s) const;
};
