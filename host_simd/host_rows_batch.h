#pragma once
// Host forms of the batched products: a block of matrix rows is walked entry
// by entry (as in host_rows.h), and every entry is applied to a group of lanes
// at once, the lanes' samples being side by side in the interleaved batch
// sinogram. The lane loops are vectorised; within a lane every sum takes the
// same products in the same order as the single-slice kernel body, and no
// multiply-add is contracted, so each lane gives the single-slice floats.
#include <cstddef>

#include "host_simd/host_rows.h"

namespace host_rows {

// Lanes l0 .. l0 + width - 1 of interleaved values with `lanes` lanes per element.
struct BatchLanes {
    const float* values;
    int lanes, l0, width;
};

// The opposite-tilt reads of level 3: C and D for columns in [lo, hi), from
// base - column2 - 1, base - column2 and base - column - 1, base - column - 2.
struct OppositeTilts {
    int base, lo, hi;
};

// Sums of a block for one group of lanes: acc[(q * N + s) * width + l], sum s of
// row q, lane l0 + l; acc starts at zero.
struct BatchAccumulators {
    int widest;  // lanes per vector of the set
    // Level 0 (N = 1).
    void (*level0)(const Matrix& a, const BatchLanes& s, const RowBlock& b, float* acc);
    // Level 1 (N = 1): second weight factor - w.
    void (*level1)(const Matrix& a, const BatchLanes& s, float factor, const RowBlock& b, float* acc);
    // Own and point-mirror pairs (N = 2: A, B): level 2, and the SIRT back-projection with factor 1.
    void (*mirrored)(const Matrix& a, const int* column2, const BatchLanes& s, float factor, const RowBlock& b,
                     float* acc);
    // Level 3 (N = 4: A, B, C, D).
    void (*level3)(const Matrix& a, const int* column2, const BatchLanes& s, float factor, const OppositeTilts& o,
                   const RowBlock& b, float* acc);
    // SIRT forward projection (N = 2: s1, s2), gathering from interleaved slices.
    void (*gather2)(const Matrix& a, const BatchLanes& x, const RowBlock& b, float* acc);
};

const BatchAccumulators& baseline_batch_accumulators();
const BatchAccumulators* avx2_batch_accumulators();
const BatchAccumulators* avx512_batch_accumulators();

// The set of the vector set the single-slice forms use (host_rows::accumulators()).
const BatchAccumulators& batch_accumulators();

// Lanes of the next group: the widest of 16, 8, 4, 1 that fits both.
inline int batch_group(int remaining, int widest) {
    for (int w : {16, 8, 4})
        if (w <= widest && w <= remaining) return w;
    return 1;
}

// Rows per block for N sums of `width` lanes each: the sums stay within 32 KB
// (L1: every entry reads and writes them), at least 64 rows, and every thread
// gets two blocks or more.
constexpr int kBatchSumFloats = 8192;
inline int batch_block_rows(int rows, int sums, int width) {
    const int parts = 2 * std::max(1, omp_get_max_threads());
    const int fit = std::max(64, kBatchSumFloats / std::max(1, sums * width));
    const int share = (int)(((long long)std::max(rows, 0) + parts - 1) / parts);
    return std::max(1, std::min(fit, share));
}

// A per-thread scratch of at least n floats, kept between calls.
float* batch_scratch(size_t n);

// Runs block(set, first, count, l0, width, acc) for every block of `count`
// units (of `unit` matrix rows each) and every group of lanes, blocks in
// parallel; acc holds sums x count x unit x width floats, zeroed.
template <class Block>
void batch_blocks(int rows, int unit, int sums, int lanes, const Block& block) {
    const BatchAccumulators& f = batch_accumulators();
    const int width = batch_group(lanes, f.widest);
    const int per = std::max(1, batch_block_rows(rows * unit, sums, width) / unit);
    const int blocks = block_count(rows, per);
#pragma omp parallel for schedule(dynamic, 1)
    for (int bi = 0; bi < blocks; ++bi) {
        const int first = bi * per, count = std::min(per, rows - first);
        float* acc = batch_scratch((size_t)sums * count * unit * width);
        for (int l0 = 0; l0 < lanes;) {
            const int w = batch_group(lanes - l0, f.widest);
            std::fill(acc, acc + (size_t)sums * count * unit * w, 0.0f);
            block(f, first, count, l0, w, acc);
            l0 += w;
        }
    }
}

}  // namespace host_rows
