#pragma once
// Per-slice tables for one lane of the mirrored forms (HostForms::table_sums):
// an entry of column col = t * X + c reads fixed samples of the sinogram, its
// own pair s[col], s[col + 1], the point mirror's s[col2], s[col2 - 1]
// (col2 = t * X + X - 1 - c) and, at level 3, the same of the opposite tilt.
// The table holds them side by side at col, first samples then second ones, so
// that an entry reads one run instead of gathering. Filled before the product
// by all threads; samples outside the sinogram are never read by an entry and
// are stored as zero.
#include <cstddef>
#include <vector>

#include "host_simd/host_run.h"

namespace host_rows {

// The table of `floats` floats in the plan's record, sized before any parallel region.
inline float* sample_table(HostRun& h, size_t floats) {
    if (h.table.size() < floats) h.table.resize(floats);
    return h.table.data();
}

inline float sample_or_zero(const float* s, long long i, long long n) { return i >= 0 && i < n ? s[i] : 0.0f; }

// {A0, B0, A1, B1} per column of `tilts` rows of X samples: A0 = s[col],
// A1 = s[col + 1], B0 = s[col2], B1 = s[col2 - 1].
inline void fill_mirrored_table(float* table, const float* s, int X, int tilts) {
    const long long n = (long long)X * tilts;
#pragma omp parallel for schedule(static)
    for (int t = 0; t < tilts; ++t) {
        const long long row = (long long)t * X;
        float* e = table + 4 * row;
        for (int c = 0; c < X; ++c, e += 4) {
            const long long col = row + c, col2 = row + X - 1 - c;
            const bool inside = c > 0 && c < X - 1;  // col + 1 and col2 - 1 in this tilt's row
            e[0] = s[col];
            e[1] = s[col2];
            e[2] = inside ? s[col + 1] : sample_or_zero(s, col + 1, n);
            e[3] = inside ? s[col2 - 1] : sample_or_zero(s, col2 - 1, n);
        }
    }
}

// The plan's table for one lane of the mirrored forms, filled from s.
inline float* mirrored_table(HostRun& h, const float* s, int X, int tilts) {
    float* table = sample_table(h, (size_t)4 * X * tilts);
    fill_mirrored_table(table, s, X, tilts);
    return table;
}

// {A0, B0, C0, D0, A1, B1, C1, D1} per column of the stored tilts 0 .. Ntilts / 2
// of level 3: A and B as above, C and D the same positions of tilt Ntilts - t
// where columns [lo, hi) have that opposite tilt (C0 = s[base - col2 - 1],
// C1 = s[base - col2], D0 = s[base - col - 1], D1 = s[base - col - 2],
// base = (Ntilts + 1) * X), zero elsewhere.
inline void fill_level3_table(float* table, const float* s, int X, int Ntilts, long long lo, long long hi) {
    const int stored = Ntilts / 2 + 1;
    const long long n = (long long)X * Ntilts, base = (long long)(Ntilts + 1) * X;
#pragma omp parallel for schedule(static)
    for (int t = 0; t < stored; ++t)
        for (int c = 0; c < X; ++c) {
            const long long col = (long long)t * X + c, col2 = (long long)t * X + X - 1 - c;
            const bool paired = col >= lo && col < hi;
            float* e = table + 8 * col;
            e[0] = sample_or_zero(s, col, n);
            e[1] = sample_or_zero(s, col2, n);
            e[2] = paired ? sample_or_zero(s, base - col2 - 1, n) : 0.0f;
            e[3] = paired ? sample_or_zero(s, base - col - 1, n) : 0.0f;
            e[4] = sample_or_zero(s, col + 1, n);
            e[5] = sample_or_zero(s, col2 - 1, n);
            e[6] = paired ? sample_or_zero(s, base - col2, n) : 0.0f;
            e[7] = paired ? sample_or_zero(s, base - col - 2, n) : 0.0f;
        }
}

}  // namespace host_rows
