#pragma once
// Building blocks of the fast host forms of the sparse-matrix products: the WBP
// products (wbp_rows_host.cpp) and the two SIRT products (sirt_kernel_host.cpp).
// Blocks of matrix rows are walked entry by entry; the one-row forms here are
// shared by the accumulation loops, which are compiled for the baseline x86-64
// vector set (SSE2, host_rows_baseline.cpp) and for AVX2 and AVX-512VL
// (host_rows_vector_inl.h), chosen at run time.
//
// Every form adds, for each row, the same products in the same order as the
// per-row kernel body, so all of them give the same floats. Rows of a block
// have different lengths: up to the shortest every entry is live; beyond it a
// dead entry adds +0.0f or nothing, which leaves a sum unchanged (a sum that
// starts at +0 is never -0).
#include <algorithm>
#include <omp.h>
#if defined(__SSE2__)
#include <immintrin.h>
#endif

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

// Rows per block. Entry k of a block is one run per array, a whole stride away
// from entry k + 1: the longer the runs, the closer the walk comes to reading
// memory front to back (runs of 1024 rows read at half to two thirds of the
// sequential rate, runs of 8192 rows near it). So blocks are as long as gives
// every thread two of them, at most 8192 rows (the sums stay in L2), at least
// 1024.
constexpr int kMaxBlockRows = 8192;

inline int block_rows(int rows) {
    const int parts = 2 * std::max(1, omp_get_max_threads());
    const int per = (int)(((long long)std::max(rows, 0) + parts - 1) / parts);
    return (std::clamp(per, 1024, kMaxBlockRows) + 63) & ~63;
}

inline int block_count(int rows, int per_block) { return rows <= 0 ? 0 : (rows + per_block - 1) / per_block; }

// Entry k of every row of a block.
struct EntryK {
    int k;
    bool all_live;  // k below the shortest length of the block
    const float* __restrict m;
    const int* __restrict col;
    const int* __restrict len;
};

inline EntryK entry_k(const float* matrix, const int* column, const int* length, size_t stride, const RowBlock& b,
                      int k) {
    const size_t off = (size_t)k * stride + (size_t)b.r0;
    return {k, k < b.min_len, matrix + off, column + off, length + b.r0};
}

// The interleaved matrix of one product.
struct Matrix {
    const float* weights;
    const int* columns;
    const int* lengths;
    size_t stride;
};

// Rows are walked in runs of one cache line of each entry array. Entry k of a
// block is one run per array, and the next entry lies a whole stride further
// on, where the hardware prefetchers would start cold: each run therefore
// fetches the same line of a later entry into L2 ahead of use.
constexpr int kLine = 16;

inline void prefetch_ahead(const EntryK& e, size_t distance, int q) {
    __builtin_prefetch(e.m + distance + q, 0, 2);
    __builtin_prefetch(e.col + distance + q, 0, 2);
}

// The rows of a block that may still be live at entry k. The block is cut into
// at most kMaxSpans spans of consecutive rows, each keeping an interval [lo, hi)
// outside which every row has ended. Along a slice row the lengths rise and then
// fall (pixels near the ends see fewer tilts), so the intervals follow the live
// rows closely and the walk skips the padding of ended rows instead of reading it.
// Rows inside an interval may still have ended; the forms check each row.
constexpr int kMaxSpans = 64, kMinSpan = 256;

struct LiveSpans {
    int count = 0;
    int lo[kMaxSpans], hi[kMaxSpans];
};

inline LiveSpans live_spans(const RowBlock& b) {
    LiveSpans s;
    const int span = std::max(kMinSpan, (b.count + kMaxSpans - 1) / kMaxSpans);
    for (int q = 0; q < b.count; q += span) {
        s.lo[s.count] = q;
        s.hi[s.count++] = std::min(b.count, q + span);
    }
    return s;
}

// Drops the rows at both ends of each span whose length is at most k (len is
// indexed by row of the block); k must not decrease between calls.
inline void shrink_spans(LiveSpans& s, const int* len, int k) {
    for (int i = 0; i < s.count; ++i) {
        while (s.lo[i] < s.hi[i] && len[s.lo[i]] <= k) ++s.lo[i];
        while (s.hi[i] > s.lo[i] && len[s.hi[i] - 1] <= k) --s.hi[i];
    }
}

// The forms walk each span in runs of kLine rows: for (si < count) for (q0 =
// lo[si]; q0 < hi[si]; q0 += kLine), as plain loops so that the AVX2 forms stay
// one function each.

// ---- one row at a time -------------------------------------------------------------

// Level 1: sum += s[c] * w, then += s[c + 1] * (factor - w).
inline void lane1(const float* __restrict sino, const EntryK& e, float factor, int q, float* __restrict sum) {
    if (!e.all_live && e.k >= e.len[q]) return;
    const int c = e.col[q];
    const float w = e.m[q];
    sum[q] += sino[c] * w;
    sum[q] += sino[c + 1] * (factor - w);
}

// Level 0, a last unpaired entry of every row of the block.
inline void last0(const EntryK& e, const float* __restrict sino, int count, float* __restrict sum) {
    for (int q = 0; q < count; ++q)
        if (e.all_live || e.k < e.len[q]) sum[q] = sum[q] + sino[e.col[q]] * e.m[q];
}

// Level 0, entries k and k + 1 of one row, in this order.
inline void pair0_row(const EntryK& e0, const EntryK& e1, const float* __restrict sino, int q,
                      float* __restrict sum) {
    if (e0.all_live || e0.k < e0.len[q]) sum[q] = sum[q] + sino[e0.col[q]] * e0.m[q];
    if (e1.all_live || e1.k < e1.len[q]) sum[q] = sum[q] + sino[e1.col[q]] * e1.m[q];
}

// Levels 2 and 3 read a per-slice table with the 2N samples of every column
// side by side (wbp_rows_host.cpp):
// acc[q * N + l] += table[col * 2N + l] * w, then += table[col * 2N + N + l] * g.
template <int N>
inline void table_row(const EntryK& e, float factor, const float* __restrict table, int q, float* __restrict acc) {
    if (!e.all_live && e.k >= e.len[q]) return;
    const float w = e.m[q], g = factor - w;
    const float* __restrict t = table + (size_t)2 * N * e.col[q];
    float* __restrict a = acc + (size_t)N * q;
    for (int l = 0; l < N; ++l) a[l] = a[l] + t[l] * w;
    for (int l = 0; l < N; ++l) a[l] = a[l] + t[N + l] * g;
}

#if defined(__SSE2__)
// {s[a], s[a + 1], s[b], s[b + 1]}: each entry interpolates two neighbouring
// samples, so one 8-byte load fetches both. Shared by every vector set.
inline __m128 pair2(const float* s, int a, int b) {
    return _mm_loadh_pi(_mm_loadl_pi(_mm_setzero_ps(), (const __m64*)(s + a)), (const __m64*)(s + b));
}
#endif

// ---- accumulation of one block, per vector set ------------------------------------------

struct Accumulators {
    // Level 0: sum[q] of every row of the block; samples = length of sino.
    void (*level0)(const Matrix& a, const float* sino, size_t samples, const RowBlock& b, float* sum);
    // Level 1: sum[q], second weight factor - w; samples = length of sino.
    void (*level1)(const Matrix& a, const float* sino, size_t samples, float factor, const RowBlock& b, float* sum);
    // Levels 2 and 3: acc[q * N + l] from the sample table (N = 2 and 4).
    void (*table2)(const Matrix& a, const float* table, float factor, const RowBlock& b, float* acc);
    void (*table4)(const Matrix& a, const float* table, float factor, const RowBlock& b, float* acc);
};

// The per-slice sample tables of levels 2 and 3 (wbp_rows_host.cpp). The fill
// functions are work-shared loops: call them from inside a parallel region.
// The level-2 table, {s[t][c], s[t][X-1-c], s[t][c+1], s[t][X-2-c]} per column
// t * X + c, also serves the SIRT back-projection, whose sums are level 2's with
// factor 1.
float* table_buffer(size_t floats);
void fill_level2_table(float* table, const float* sino, int sinoX, int tilts);
void fill_level3_table(float* table, const float* sino, int sinoX, int Ntilts);

const Accumulators& baseline_accumulators();
// Null when the build or the processor lacks the vector set.
const Accumulators* avx2_accumulators();
const Accumulators* avx512_accumulators();

// The set the products use: the widest the processor has.
enum class Vectors { baseline, avx2, avx512 };
constexpr Vectors kAllVectors[] = {Vectors::baseline, Vectors::avx2, Vectors::avx512};
const char* vectors_name(Vectors v);
const Accumulators& accumulators();
// Chooses the set (tests run every form); false, and no change, when unavailable.
bool use_vectors(Vectors v);
// Back to the default choice.
void use_widest_vectors();

}  // namespace host_rows
