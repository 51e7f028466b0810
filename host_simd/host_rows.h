#pragma once
// Blocks of matrix rows, the unit the host forms of the sparse-matrix products
// walk (host_forms.h): entry k of consecutive rows lies in consecutive words,
// so walking entry k across a block reads every array front to back in runs.
//
// Every form adds, for each row, the same products in the same order as the
// per-row kernel body, so all of them give the same floats. Rows of a block
// have different lengths: each row stops at its own.
#include <algorithm>
#include <cstddef>

namespace host_rows {

struct RowBlock {
    int r0, count;         // rows r0 .. r0 + count - 1
    int min_len, max_len;  // shortest and longest row of the block
};

inline RowBlock row_block(const int* d_length, int r0, int count) {
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

inline int block_count(int rows, int per_block) { return rows <= 0 ? 0 : (rows + per_block - 1) / per_block; }

// The interleaved matrix of one product: entry k of row r at r + k * stride.
struct Matrix {
    const float* weights;
    const int* columns;
    const int* lengths;
    size_t stride;
};

}  // namespace host_rows
