#pragma once
// Host forms of the products: a block of matrix rows is walked entry by entry
// (host_rows.h), and every entry is applied to a group of lanes at once, the
// lanes' samples being side by side in the interleaved batch sinogram. One
// body (host_forms_inl.h) serves every lane count, one slice included, and is
// compiled once per vector set; host_forms() selects a set's table. Within a
// lane every sum takes the same products in the same order as the per-item
// kernel body, and no multiply-add is contracted, so each lane gives the
// single-slice floats on every set.
#include <algorithm>
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

enum class Vectors { baseline, avx2, avx512 };
constexpr Vectors kAllVectors[] = {Vectors::baseline, Vectors::avx2, Vectors::avx512};
const char* vectors_name(Vectors v);

// One vector set's forms. Sums of a block for one group of lanes:
// acc[(q * N + s) * width + l], sum s of row q, lane l0 + l; acc starts at zero.
struct HostForms {
    Vectors set;
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
    // One lane of the mirrored forms from a per-slice table of every sample an
    // entry of column col reads, its N first ones then its N second ones, at
    // table + col * 2N (N = 2 or 4, host_simd/sample_tables.h): one load each
    // instead of a gather. acc[q * N + s] as above.
    void (*table_sums)(const Matrix& a, const float* table, int sums, float factor, const RowBlock& b, float* acc);
};

// The forms of set v; null where the build or the processor lacks it.
const HostForms* host_forms(Vectors v);
// The widest set this processor has.
const HostForms& widest_forms();

// The tables the body defines for the selector, one per set (null as above).
const HostForms* baseline_forms();
const HostForms* avx2_forms();
const HostForms* avx512_forms();

// Lanes of the next group: the widest of 16, 8, 4, 1 that fits both.
inline int batch_group(int remaining, int widest) {
    for (int w : {16, 8, 4})
        if (w <= widest && w <= remaining) return w;
    return 1;
}

// Rows per block for N sums of `width` lanes each: the sums stay within 256 KB
// (L2; the walk keeps them in registers across several entries), at least 64
// rows, and every thread gets two blocks or more. Long blocks read each tilt's
// samples again from L1 for the next rows; at 16 lanes, blocks of 32 KB of sums
// took 5 to 10 % more CPU end to end.
constexpr int kBatchSumFloats = 65536;
inline int batch_block_rows(int rows, int sums, int width, int threads) {
    const int parts = 2 * std::max(1, threads);
    const int fit = std::max(64, kBatchSumFloats / std::max(1, sums * width));
    const int share = (int)(((long long)std::max(rows, 0) + parts - 1) / parts);
    return std::max(1, std::min(fit, share));
}

}  // namespace host_rows
