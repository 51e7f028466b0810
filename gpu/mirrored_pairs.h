#pragma once
// The per-entry sums shared by the products that read, for one matrix entry, the
// sample pair of its own pixel and the mirrored pair of the point mirror: WBP
// levels 2 and 3 and the SIRT back-projection. Written once so that every
// backend adds in the same order.
#include "gpu/batch_lanes.h"

// A += s[col] w, then s[col + 1] g; B += s[col2] w, then s[col2 - 1] g, reading
// lane l of an interleaved batch sinogram (lanes = 1, l = 0: a single one).
SK_HD inline void add_mirrored_pairs(const float* s, int lanes, int l, int col, int col2, float w, float g, float& A,
                                     float& B) {
    A += lane_sample(s, lanes, l, col) * w;
    A += lane_sample(s, lanes, l, col + 1) * g;
    B += lane_sample(s, lanes, l, col2) * w;
    B += lane_sample(s, lanes, l, col2 - 1) * g;
}

// A and B over matrix row r (n entries, entry k at r + k * stride), each entry
// with weights w and factor - w, from lane l of a batch sinogram (lanes = 1,
// l = 0: a single sinogram). The single-slice and batched kernels both call it,
// so every slice of a batch adds as it would alone.
SK_HD inline void add_mirrored_row(const float* matrix, const int* column, const int* column2, int r, int n,
                                   int stride, float factor, const float* s, int lanes, int l, float& A, float& B) {
    for (int k = 0; k < n; ++k) {
        const int e = r + k * stride;
        const float w = matrix[e];
        add_mirrored_pairs(s, lanes, l, column[e], column2[e], w, factor - w, A, B);
    }
}
