#pragma once
// The per-entry sums shared by the products that read, for one matrix entry, the
// sample pair of its own pixel and the mirrored pair of the point mirror: WBP
// levels 2 and 3 and the SIRT back-projection. Written once so that every
// backend adds in the same order.
#include "gpu/batch_lanes.h"

// A += s[col] w, then s[col + 1] g; B += s[col2] w, then s[col2 - 1] g, reading
// lane l of an interleaved batch sinogram.
SK_HD inline void add_mirrored_pairs(const float* s, int lanes, int l, int col, int col2, float w, float g, float& A,
                                     float& B) {
    A += lane_sample(s, lanes, l, col) * w;
    A += lane_sample(s, lanes, l, col + 1) * g;
    B += lane_sample(s, lanes, l, col2) * w;
    B += lane_sample(s, lanes, l, col2 - 1) * g;
}

// The same for a single sinogram.
SK_HD inline void add_mirrored_pairs(const float* s, int col, int col2, float w, float g, float& A, float& B) {
    add_mirrored_pairs(s, 1, 0, col, col2, w, g, A, B);
}
