#pragma once
// The weighted back-projection matrix builds at symmetry levels 0 to 3, and the
// row sums of the products (wbp_batch_kernel.h). Each kernel is a functor
// holding its parameters; its operator() is the work of one thread, shared by
// the CUDA and host backends.
//
// Matrix kernels are 2-D: gx runs over slice rows j, gy over slice columns i.
#include "gpu/gpu_layer.h"
#include "gpu/mirrored_pairs.h"
#include "host_simd/host_tiles.h"
#include "io/tilt_angles.h"
#include "method/geometry.h"

// True when position p truncates to a sample c with 0 <= c < sinoX - 1, so that
// c + 1 is still on the detector. Written as a test on p itself so that no
// out-of-range float is ever converted to int.
SK_HD inline bool wbp_on_detector(float p, int sinoX) { return p > -1.0f && p < (float)(sinoX - 1); }

// What a tilt stores for a pixel whose position p is on the detector: with
// sample c = trunc(p) and fraction f = p - c, level 0 stores the weight
// factor * (1 - f) of sample c and f * factor of sample c + 1, levels 1 to 3
// only the first, with the column of the mirrored sample at levels 2 and 3.
struct WbpEntry {
    float weight, next_weight;
    int column, column2;
};

SK_HD inline WbpEntry wbp_entry(float p, int t, int sinoX, float factor) {
    const int c = (int)p;
    const float f = p - (float)c;
    return {factor * (1.0f - f), f * factor, c + t * sinoX, t * sinoX + (sinoX - 1 - c)};
}

// Entry k of row r for tilt t when pixel (x, z) falls on the detector (levels
// 1 to 3): the weight of sample c, its column and, where d_column2 is given, the
// column of the mirrored sample. Returns the entries written, 0 or 1.
SK_HD inline int wbp_single_entry(float* d_matrix, int* d_column, int* d_column2, int* d_length, const a& tilt,
                                  int t, int r, int k, float x, float z, float r_2, int sinoX, int nRows,
                                  float factor) {
    const float p = detector_position(tilt, x, z, r_2);
    if (!wbp_on_detector(p, sinoX)) return 0;
    const WbpEntry v = wbp_entry(p, t, sinoX, factor);
    d_matrix[r + k * nRows] = v.weight;
    d_column[r + k * nRows] = v.column;
    if (d_column2) d_column2[r + k * nRows] = v.column2;
    d_length[r] += 1;
    return 1;
}

// Entries k and k + 1 of row r for tilt t when pixel (x, z) falls on the
// detector (level 0): samples c and c + 1. Returns the entries written, 0 or 2.
SK_HD inline int wbp_pair_entries(float* d_matrix, int* d_column, int* d_length, const a& tilt, int t, int r, int k,
                                  float x, float z, float r_2, int sinoX, int nRows, float factor) {
    const float p = detector_position(tilt, x, z, r_2);
    if (!wbp_on_detector(p, sinoX)) return 0;
    const WbpEntry v = wbp_entry(p, t, sinoX, factor);
    d_matrix[r + k * nRows] = v.weight;
    d_column[r + k * nRows] = v.column;
    d_length[r] += 1;
    d_matrix[r + (k + 1) * nRows] = v.next_weight;
    d_column[r + (k + 1) * nRows] = v.column + 1;
    d_length[r] += 1;
    return 2;
}

// Slice indices of the depth mirror (row thickness - 1 - j) and of the side
// mirror (column reconsX - 1 - i) of pixel (i, j), for level 3.
SK_HD inline int wbp_depth_mirror(int i, int j, int reconsX, int thickness) { return i + reconsX * (thickness - 1 - j); }
SK_HD inline int wbp_side_mirror(int i, int j, int reconsX) { return reconsX * (j + 1) - i - 1; }

// One entry per tilt 0 .. tilts - 1 on the detector for pixel (x, z), matrix
// row r (levels 1 to 3): the weight of sample c, its column and, where
// d_column2 is given (levels 2 and 3), the column of the mirrored sample.
SK_HD inline void wbp_single_entries(float* d_matrix, int* d_column, int* d_column2, int* d_length,
                                     const a* d_tangles, int tilts, int r, float x, float z, float r_2, int sinoX,
                                     int nRows, float factor) {
    int k = 0;
    for (int t = 0; t < tilts; ++t)
        k += wbp_single_entry(d_matrix, d_column, d_column2, d_length, d_tangles[t], t, r, k, x, z, r_2, sinoX, nRows,
                              factor);
}

// Level 0: two entries (samples c and c + 1) per tilt on the detector.
struct cu_WBP_matrix0 {
    float* d_matrix;
    int* d_column;
    int* d_length;
    const a* d_tangles;
    int Ntilts, reconsX, reconsY, sinoX, nRows;
    float w_2, r_2, h_2, factor;
    host_tiles::TileLayout tiles = {};  // the host form's storage; the kernel body stores entry-major

    SK_HD void operator()(int gx, int gy) const {
        const int j = gx, i = gy;
        if (j >= reconsY || i >= reconsX || Ntilts == 0) return;
        const int r = reconsX * j + i;
        const float x = (float)i - w_2, z = (float)j - h_2;
        int k = 0;
        for (int t = 0; t < Ntilts; ++t)
            k += wbp_pair_entries(d_matrix, d_column, d_length, d_tangles[t], t, r, k, x, z, r_2, sinoX, nRows, factor);
    }
    void host_run(const LaunchShape& s) const;
};

// Levels 1 and 2: one entry per tilt, the weight of sample c (sample c + 1
// gets factor - m). Level 2 covers the rows j < reconsY (the upper half and,
// for an odd thickness, the centre row) and stores the mirrored column of the
// point mirror too; level 1 has no d_column2. h_2 is the centre of the full
// thickness.
struct cu_WBP_matrix_single {
    float* d_matrix;
    int* d_column;
    int* d_column2;  // level 2's; null at level 1
    int* d_length;
    const a* d_tangles;
    int Ntilts, reconsX, reconsY, sinoX, nRows;
    float w_2, r_2, h_2, factor;
    host_tiles::TileLayout tiles = {};  // the host form's storage; the kernel body stores entry-major

    SK_HD void operator()(int gx, int gy) const {
        const int j = gx, i = gy;
        if (j >= reconsY || i >= reconsX || Ntilts == 0) return;
        const float x = (float)i - w_2, z = (float)j - h_2;
        wbp_single_entries(d_matrix, d_column, d_column2, d_length, d_tangles, Ntilts, reconsX * j + i, x, z, r_2,
                           sinoX, nRows, factor);
    }
    void host_run(const LaunchShape& s) const;
};

// Level 3: as level 2 for the tilts 0 .. Ntilts/2 only, plus the slice indices of
// each row's depth mirror (row thickness - 1 - j) and side mirror (same row,
// column reconsX - 1 - i). reconsY is the number of rows covered, thickness the
// full slice height.
struct cu_WBP_matrixsym3 {
    float* d_matrix;
    int* d_column;
    int* d_column2;
    int* d_length;
    int* d_row1;
    int* d_row2;
    const a* d_tangles;
    int Ntilts, reconsX, reconsY, sinoX, nRows;
    float w_2, r_2, h_2, factor;
    int thickness;
    host_tiles::TileLayout tiles = {};  // the host form's storage; the kernel body stores entry-major

    SK_HD void operator()(int gx, int gy) const {
        const int j = gx, i = gy;
        if (j >= reconsY || i >= reconsX) return;
        const int r = reconsX * j + i;
        d_row1[r] = wbp_depth_mirror(i, j, reconsX, thickness);
        d_row2[r] = wbp_side_mirror(i, j, reconsX);
        const float x = (float)i - w_2, z = (float)j - h_2;
        wbp_single_entries(d_matrix, d_column, d_column2, d_length, d_tangles, Ntilts / 2 + 1, r, x, z, r_2, sinoX,
                           nRows, factor);
    }
    void host_run(const LaunchShape& s) const;
};

// Row sums of the products over matrix row r (n entries, entry k at r + k *
// nRows), from lane l of a batch sinogram s (lanes = 1, l = 0: a single
// sinogram).

// Level 0: weight x sample over the entries.
SK_HD inline float wbp_row_sum0(const float* matrix, const int* column, int r, int n, int nRows, const float* s,
                                int lanes, int l) {
    float sum = 0.0f;
    for (int k = 0; k < n; ++k) {
        const int e = r + k * nRows;
        sum = sum + lane_sample(s, lanes, l, column[e]) * matrix[e];
    }
    return sum;
}

// Level 1: samples c and c + 1 with weights m and factor - m.
SK_HD inline float wbp_row_sum1(const float* matrix, const int* column, int r, int n, int nRows, float factor,
                                const float* s, int lanes, int l) {
    float sum = 0.0f;
    for (int k = 0; k < n; ++k) {
        const int e = r + k * nRows;
        const float m = matrix[e];
        const int col = column[e];
        sum += lane_sample(s, lanes, l, col) * m;
        sum += lane_sample(s, lanes, l, col + 1) * (factor - m);
    }
    return sum;
}

// True when matrix row r lies in the centre row of an odd thickness (the last
// reconsX rows of the half-slice matrix).
SK_HD inline bool wbp_centre_row(int r, int nRows, int reconsX, int thickness) {
    return (thickness & 1) != 0 && r >= nRows - reconsX;
}

// Sinogram indices [lo, hi) of the stored tilts whose opposite tilt Ntilts - t is
// another real tilt: not tilt 0 (its partner would be row Ntilts) and, for an even
// count, not tilt Ntilts/2 (its own partner).
SK_HD inline int wbp_mirrored_lo(int sinoX) { return sinoX; }
SK_HD inline int wbp_mirrored_hi(int Ntilts, int sinoX) {
    return ((Ntilts & 1) == 0 ? Ntilts / 2 : Ntilts / 2 + 1) * sinoX;
}

// Level 3: A and B as level 2 from the stored tilts; C and D from the opposite
// tilts of the entries whose tilt has one.
SK_HD inline void wbp_row_sums3(const float* matrix, const int* column, const int* column2, int r, int n, int nRows,
                                float factor, int Ntilts, int sinoX, const float* s, int lanes, int l, float& A,
                                float& B, float& C, float& D) {
    const int base = (Ntilts + 1) * sinoX;
    const int lo = wbp_mirrored_lo(sinoX), hi = wbp_mirrored_hi(Ntilts, sinoX);
    for (int k = 0; k < n; ++k) {
        const int e = r + k * nRows;
        const float m = matrix[e];
        const int col = column[e], col2 = column2[e];
        const float g = factor - m;
        add_mirrored_pairs(s, lanes, l, col, col2, m, g, A, B);
        if (col >= lo && col < hi) {
            C += m * lane_sample(s, lanes, l, base - col2 - 1);
            C += lane_sample(s, lanes, l, base - col2) * g;
            D += m * lane_sample(s, lanes, l, base - col - 1);
            D += lane_sample(s, lanes, l, base - col - 2) * g;
        }
    }
}
