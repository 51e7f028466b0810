#pragma once
// The per-entry sums shared by the products that read, for one matrix entry, the
// sample pair of its own pixel and the mirrored pair of the point mirror: WBP
// levels 2 and 3 and the SIRT back-projection. Written once so that every
// backend adds in the same order.
#include "gpu/gpu_layer.h"

// A += s[col] w, then s[col + 1] g; B += s[col2] w, then s[col2 - 1] g.
SK_HD inline void add_mirrored_pairs(const float* s, int col, int col2, float w, float g, float& A, float& B) {
    A += tex_fetch(s, col) * w;
    A += tex_fetch(s, col + 1) * g;
    B += tex_fetch(s, col2) * w;
    B += tex_fetch(s, col2 - 1) * g;
}
