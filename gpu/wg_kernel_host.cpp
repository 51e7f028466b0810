// Fast host forms of the WBP kernels.
//
// The product reads the whole matrix once per slice and little else, so it is
// bound by memory bandwidth. The interleaved layout stores entry k of consecutive
// rows in consecutive words; walking entry k across a block of rows, with one
// running sum per row, reads every array front to back in long runs. Each row
// still adds its entries in entry order with the same operations as the per-row
// kernel body, so the sums are the same floats.
//
// Rows of a block have different lengths. Up to the shortest length every entry
// is live; beyond it a dead entry reads a harmless index and adds +0.0f, which
// leaves every sum unchanged (a sum that starts at +0 is never -0).
#include <omp.h>
#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cstddef>
#include <vector>

#include "gpu/wg_kernel.h"

namespace {

// Rows per block: long enough runs for the prefetchers, small enough that the
// block's sums stay in L1.
constexpr int kBlockRows = 1024;

struct RowBlock {
    int r0, count;         // rows r0 .. r0 + count - 1
    int min_len, max_len;  // shortest and longest row of the block
};

RowBlock row_block(const int* d_length, int r0, int count) {
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

int block_count(int rows, int per_block) { return rows <= 0 ? 0 : (rows + per_block - 1) / per_block; }

// Runs the per-item body of a matrix kernel over slice rows j < rows in parallel,
// columns in order within a row, so that the entries of neighbouring pixels are
// written side by side.
template <class K>
void matrix_rows(const K& k, int rows, int cols) {
#pragma omp parallel for schedule(dynamic, 1)
    for (int j = 0; j < rows; ++j)
        for (int i = 0; i < cols; ++i) k(j, i);
}

// Entry k of every row of a block.
struct EntryK {
    int k;
    bool all_live;  // k below the shortest length of the block
    const float* __restrict m;
    const int* __restrict col;
    const int* __restrict col2;
    const int* __restrict len;
};

EntryK entry_k(const float* matrix, const int* column, const int* column2, const int* length, size_t stride,
               const RowBlock& b, int k) {
    const size_t off = (size_t)k * stride + (size_t)b.r0;
    return {k, k < b.min_len, matrix + off, column + off, column2 ? column2 + off : nullptr, length + b.r0};
}

// ---- one row at a time (any target; also the rows left over by the 4-row forms) ----

inline void lane1(const float* __restrict sino, const EntryK& e, float factor, int q, float* __restrict sum) {
    const bool live = e.all_live || e.k < e.len[q];
    const int c = live ? e.col[q] : 0;
    const float w = e.m[q];
    const float v0 = sino[c] * w, v1 = sino[c + 1] * (factor - w);
    sum[q] += live ? v0 : 0.0f;
    sum[q] += live ? v1 : 0.0f;
}

#if defined(__SSE2__)
// ---- four rows at a time --------------------------------------------------------------
// Each entry interpolates two neighbouring samples, so one 8-byte load fetches
// both; four such loads and two shuffles give the two sample vectors of four
// rows. The arithmetic is the same single-precision multiply and add per lane
// as the one-row form, masked to +0 where a lane has nothing to add.

// lo = s[i[l]], hi = s[i[l] + 1] for the four lanes l.
inline void sample_pairs(const float* s, const int* i, __m128& lo, __m128& hi) {
    const __m128 x01 = _mm_loadh_pi(_mm_loadl_pi(_mm_setzero_ps(), (const __m64*)(s + i[0])), (const __m64*)(s + i[1]));
    const __m128 x23 = _mm_loadh_pi(_mm_loadl_pi(_mm_setzero_ps(), (const __m64*)(s + i[2])), (const __m64*)(s + i[3]));
    lo = _mm_shuffle_ps(x01, x23, _MM_SHUFFLE(2, 0, 2, 0));
    hi = _mm_shuffle_ps(x01, x23, _MM_SHUFFLE(3, 1, 3, 1));
}

inline __m128i load4(const int* p) { return _mm_loadu_si128((const __m128i*)p); }

// All ones in the lanes whose row has an entry k.
inline __m128i live_lanes(const EntryK& e, int q) {
    return e.all_live ? _mm_set1_epi32(-1) : _mm_cmpgt_epi32(load4(e.len + q), _mm_set1_epi32(e.k));
}

// acc += (x * y) in the lanes of mask, += +0 elsewhere.
inline __m128 add_masked(__m128 acc, __m128 x, __m128 y, __m128 mask) {
    return _mm_add_ps(acc, _mm_and_ps(_mm_mul_ps(x, y), mask));
}

inline void quad1(const float* __restrict sino, const EntryK& e, float factor, int q, float* __restrict sum) {
    const __m128i live = live_lanes(e, q);
    alignas(16) int ia[4];
    _mm_store_si128((__m128i*)ia, _mm_and_si128(load4(e.col + q), live));
    const __m128 lv = _mm_castsi128_ps(live);
    const __m128 w = _mm_loadu_ps(e.m + q), g = _mm_sub_ps(_mm_set1_ps(factor), w);
    __m128 lo, hi;
    sample_pairs(sino, ia, lo, hi);
    __m128 acc = _mm_loadu_ps(sum + q);
    acc = add_masked(acc, lo, w, lv);
    acc = add_masked(acc, hi, g, lv);
    _mm_storeu_ps(sum + q, acc);
}

#endif

// Rows are walked in runs of one cache line of each entry array. Entry k of a
// block is one 4-kB run per array, and the next entry lies a whole stride
// further on, where the hardware prefetchers would start cold: each run
// therefore fetches the same line of entry k + 1 into L2 ahead of use.
constexpr int kLine = 16;

inline void prefetch_next(const EntryK& e, size_t stride, int q) {
    __builtin_prefetch(e.m + stride + q, 0, 2);
    __builtin_prefetch(e.col + stride + q, 0, 2);
}

// Level 0, one entry k at a time: plain loops the compiler vectorises.
void accumulate0_single(const EntryK& e, const float* __restrict sino, const RowBlock& b, float* __restrict sum) {
    for (int q0 = 0; q0 < b.count; q0 += kLine) {
        const int q1 = std::min(b.count, q0 + kLine);
        if (e.all_live) {
            for (int q = q0; q < q1; ++q) sum[q] = sum[q] + sino[e.col[q]] * e.m[q];
        } else {
            for (int q = q0; q < q1; ++q) {
                const bool live = e.k < e.len[q];
                const float v = sino[live ? e.col[q] : 0] * e.m[q];
                sum[q] = sum[q] + (live ? v : 0.0f);
            }
        }
    }
}

// Level 0, entries k and k + 1 of one row together, in this order. The matrix
// stores each tilt as two entries on samples c and c + 1, so four rows usually
// read their two samples with the paired loads; lanes where entry k + 1 is
// not the next sample of entry k (or either entry is dead) read them singly.
void pair0_row(const EntryK& e0, const EntryK& e1, const float* __restrict sino, int q, float* __restrict sum) {
    const bool live0 = e0.all_live || e0.k < e0.len[q], live1 = e1.all_live || e1.k < e1.len[q];
    const float v0 = sino[live0 ? e0.col[q] : 0] * e0.m[q];
    sum[q] = sum[q] + (live0 ? v0 : 0.0f);
    const float v1 = sino[live1 ? e1.col[q] : 0] * e1.m[q];
    sum[q] = sum[q] + (live1 ? v1 : 0.0f);
}

#if defined(__SSE2__)
void pair0_quad(const EntryK& e0, const EntryK& e1, const float* __restrict sino, int q, float* __restrict sum) {
    const __m128i c0 = load4(e0.col + q), c1 = load4(e1.col + q);
    const __m128i live = _mm_and_si128(live_lanes(e0, q), live_lanes(e1, q));
    const __m128i next = _mm_and_si128(live, _mm_cmpeq_epi32(c1, _mm_add_epi32(c0, _mm_set1_epi32(1))));
    if (_mm_movemask_ps(_mm_castsi128_ps(next)) != 15) {
        for (int l = 0; l < 4; ++l) pair0_row(e0, e1, sino, q + l, sum);
        return;
    }
    alignas(16) int ia[4];
    _mm_store_si128((__m128i*)ia, c0);
    __m128 lo, hi;
    sample_pairs(sino, ia, lo, hi);
    __m128 acc = _mm_loadu_ps(sum + q);
    acc = _mm_add_ps(acc, _mm_mul_ps(lo, _mm_loadu_ps(e0.m + q)));
    acc = _mm_add_ps(acc, _mm_mul_ps(hi, _mm_loadu_ps(e1.m + q)));
    _mm_storeu_ps(sum + q, acc);
}
#endif

void accumulate0(const float* matrix, const int* column, const int* length, const float* __restrict sino,
                 size_t stride, const RowBlock& b, float* __restrict sum) {
    int k = 0;
    for (; k + 1 < b.max_len; k += 2) {
        const EntryK e0 = entry_k(matrix, column, nullptr, length, stride, b, k);
        const EntryK e1 = entry_k(matrix, column, nullptr, length, stride, b, k + 1);
        const bool ahead = k + 3 < b.max_len;
        for (int q0 = 0; q0 < b.count; q0 += kLine) {
            const int q1 = std::min(b.count, q0 + kLine);
            if (ahead) {
                prefetch_next(e0, 2 * stride, q0);
                prefetch_next(e1, 2 * stride, q0);
            }
            int q = q0;
#if defined(__SSE2__)
            for (; q + 4 <= q1; q += 4) pair0_quad(e0, e1, sino, q, sum);
#endif
            for (; q < q1; ++q) pair0_row(e0, e1, sino, q, sum);
        }
    }
    if (k < b.max_len) accumulate0_single(entry_k(matrix, column, nullptr, length, stride, b, k), sino, b, sum);
}

void accumulate1(const float* matrix, const int* column, const int* length, const float* __restrict sino,
                 size_t stride, float factor, const RowBlock& b, float* __restrict sum) {
    for (int k = 0; k < b.max_len; ++k) {
        const EntryK e = entry_k(matrix, column, nullptr, length, stride, b, k);
        const bool ahead = k + 1 < b.max_len;
        for (int q0 = 0; q0 < b.count; q0 += kLine) {
            const int q1 = std::min(b.count, q0 + kLine);
            if (ahead) prefetch_next(e, stride, q0);
            int q = q0;
#if defined(__SSE2__)
            for (; q + 4 <= q1; q += 4) quad1(sino, e, factor, q, sum);
#endif
            for (; q < q1; ++q) lane1(sino, e, factor, q, sum);
        }
    }
}

// ---- levels 2 and 3: a per-slice table of the samples of every column ------------
// An entry of column col = t * sinoX + c (0 <= c < sinoX - 1) reads fixed samples
// of the sinogram: s[t][c] and s[t][c + 1] for its own pixel, s[t][sinoX - 1 - c]
// and s[t][sinoX - 2 - c] for the point mirror and, at level 3, the same four of
// the opposite row Ntilts - t. The table puts them side by side at index col,
// in the order the sums use them, so that an entry is one contiguous read and
// a few multiply-adds on consecutive accumulators. A tilt without a partner
// holds zeros for the opposite row: adding w * 0 leaves a sum unchanged.

float* table_buffer(size_t floats) {
    static thread_local std::vector<float> table;
    if (table.size() < floats) table.resize(floats);
    return table.data();
}

// The tables are filled by the threads of the product's own parallel region
// (work-shared loops ending in a barrier), which saves a second fork and join.

// Level 2 table: {s[t][c], s[t][X-1-c], s[t][c+1], s[t][X-2-c]} per column.
void fill_level2_table(float* table, const float* sino, int sinoX, int tilts) {
#pragma omp for schedule(static)
    for (int t = 0; t < tilts; ++t) {
        const float* row = sino + (size_t)t * sinoX;
        for (int c = 0; c < sinoX; ++c) {
            float* e = table + 4 * ((size_t)t * sinoX + c);
            const bool used = c < sinoX - 1;
            e[0] = used ? row[c] : 0.0f;
            e[1] = used ? row[sinoX - 1 - c] : 0.0f;
            e[2] = used ? row[c + 1] : 0.0f;
            e[3] = used ? row[sinoX - 2 - c] : 0.0f;
        }
    }
}

// Level 3 table: {A0, C0, B0, D0, A1, C1, B1, D1} per column of the stored
// tilts, with A, B from row t and C, D (depth and side mirror) from row Ntilts - t:
// A0 = s[t][c], A1 = s[t][c+1], B0 = s[t][X-1-c], B1 = s[t][X-2-c], and the same
// positions of the opposite row for C and D.
void fill_level3_table(float* table, const float* sino, int sinoX, int Ntilts) {
    const int stored = Ntilts / 2 + 1;
    const int partner_end = wbp_mirrored_hi(Ntilts, sinoX) / (sinoX > 0 ? sinoX : 1);
#pragma omp for schedule(static)
    for (int t = 0; t < stored; ++t) {
        const float* row = sino + (size_t)t * sinoX;
        const bool paired = t >= 1 && t < partner_end;
        const float* opp = paired ? sino + (size_t)(Ntilts - t) * sinoX : row;
        for (int c = 0; c < sinoX; ++c) {
            float* e = table + 8 * ((size_t)t * sinoX + c);
            const bool used = c < sinoX - 1, mirrored = used && paired;
            e[0] = used ? row[c] : 0.0f;
            e[1] = mirrored ? opp[c] : 0.0f;
            e[2] = used ? row[sinoX - 1 - c] : 0.0f;
            e[3] = mirrored ? opp[sinoX - 1 - c] : 0.0f;
            e[4] = used ? row[c + 1] : 0.0f;
            e[5] = mirrored ? opp[c + 1] : 0.0f;
            e[6] = used ? row[sinoX - 2 - c] : 0.0f;
            e[7] = mirrored ? opp[sinoX - 2 - c] : 0.0f;
        }
    }
}

// acc[q * N + l] += table[col * 2N + l] * w, then += table[col * 2N + N + l] * g,
// for the N sums of every live row of entry k.
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
// Level 2, two live rows in one vector: {A, B} of row q and of row q + 1.
inline void table2_rows(const EntryK& e, float factor, const float* __restrict table, int q,
                        float* __restrict acc) {
    const __m128 t0 = _mm_loadu_ps(table + 4 * (size_t)e.col[q]);      // A0 B0 A1 B1 of row q
    const __m128 t1 = _mm_loadu_ps(table + 4 * (size_t)e.col[q + 1]);  // the same of row q + 1
    const __m128 lo = _mm_movelh_ps(t0, t1), hi = _mm_movehl_ps(t1, t0);
    const __m128 m2 = _mm_loadl_pi(_mm_setzero_ps(), (const __m64*)(e.m + q));
    const __m128 w = _mm_unpacklo_ps(m2, m2), g = _mm_sub_ps(_mm_set1_ps(factor), w);
    __m128 a = _mm_loadu_ps(acc + 2 * q);
    a = _mm_add_ps(a, _mm_mul_ps(lo, w));
    a = _mm_add_ps(a, _mm_mul_ps(hi, g));
    _mm_storeu_ps(acc + 2 * q, a);
}
#endif

// acc[q * N + l] += table[col * 2N + l] * w, then += table[col * 2N + N + l] * g,
// for the N sums of every live row of entry k.
template <int N>
void accumulate_table(const float* matrix, const int* column, const int* length, size_t stride, float factor,
                      const float* __restrict table, const RowBlock& b, float* __restrict acc) {
    for (int k = 0; k < b.max_len; ++k) {
        const EntryK e = entry_k(matrix, column, nullptr, length, stride, b, k);
        const bool ahead = k + 1 < b.max_len;
        for (int q0 = 0; q0 < b.count; q0 += kLine) {
            const int q1 = std::min(b.count, q0 + kLine);
            if (ahead) prefetch_next(e, stride, q0);
            int q = q0;
#if defined(__SSE2__)
            if (N == 2 && e.all_live)
                for (; q + 2 <= q1; q += 2) table2_rows(e, factor, table, q, acc);
#endif
            for (; q < q1; ++q) table_row<N>(e, factor, table, q, acc);
        }
    }
}

}  // namespace

// ---- matrix builds: the per-item body, rows in parallel -------------------------

void cu_WBP_matrix0::host_run(const LaunchShape&) const { matrix_rows(*this, reconsY, reconsX); }
void cu_WBP_matrixsym1::host_run(const LaunchShape&) const { matrix_rows(*this, reconsY, reconsX); }
void cu_WBP_matrixsym2::host_run(const LaunchShape&) const { matrix_rows(*this, reconsY, reconsX); }
void cu_WBP_matrixsym3::host_run(const LaunchShape&) const { matrix_rows(*this, reconsY, reconsX); }

// ---- products --------------------------------------------------------------------

void cu_WBP_product_kernel0::host_run(const LaunchShape&) const {
    const int blocks = block_count(nRows, kBlockRows);
#pragma omp parallel for schedule(dynamic, 2)
    for (int bi = 0; bi < blocks; ++bi) {
        const int r0 = bi * kBlockRows;
        const RowBlock b = row_block(d_length, r0, std::min(kBlockRows, nRows - r0));
        float sum[kBlockRows];
        std::fill(sum, sum + b.count, 0.0f);
        accumulate0(d_matrix, d_column, d_length, d_sino, (size_t)nRows, b, sum);
        std::copy(sum, sum + b.count, d_recons + r0);
    }
}

void cu_WBP_productsym1_kernel::host_run(const LaunchShape&) const {
    const int blocks = block_count(nRows, kBlockRows);
#pragma omp parallel for schedule(dynamic, 2)
    for (int bi = 0; bi < blocks; ++bi) {
        const int r0 = bi * kBlockRows;
        const RowBlock b = row_block(d_length, r0, std::min(kBlockRows, nRows - r0));
        float sum[kBlockRows];
        std::fill(sum, sum + b.count, 0.0f);
        accumulate1(d_matrix, d_column, d_length, d_sino, (size_t)nRows, factor, b, sum);
        std::copy(sum, sum + b.count, d_recons + r0);
    }
}

void cu_WBP_productsym2_kernel::host_run(const LaunchShape&) const {
    if (nRows <= 0) return;
    float* table = table_buffer((size_t)4 * sinoX * Ntilts);
    const long long npix = (long long)reconsX * thickness;
    const int blocks = block_count(nRows, kBlockRows);
#pragma omp parallel
    {
        fill_level2_table(table, d_sino, sinoX, Ntilts);
#pragma omp for schedule(dynamic, 2)
        for (int bi = 0; bi < blocks; ++bi) {
            const int r0 = bi * kBlockRows;
            const RowBlock b = row_block(d_length, r0, std::min(kBlockRows, nRows - r0));
            float acc[2 * kBlockRows];  // A, B of each row
            std::fill(acc, acc + 2 * b.count, 0.0f);
            accumulate_table<2>(d_matrix, d_column, d_length, (size_t)nRows, factor, table, b, acc);
            for (int q = 0; q < b.count; ++q) {
                const int r = r0 + q;
                d_recons[r] = acc[2 * q];
                if (!wbp_centre_row(r, nRows, reconsX, thickness)) d_recons[npix - 1 - r] = acc[2 * q + 1];
            }
        }
    }
}

// Level 3 without atomics: the two adds a pixel receives come from matrix rows of
// one slice row j (A and D for pixels of row j, B and C for pixels of row
// thickness - 1 - j), so a block of whole slice rows owns its output rows. Both
// adds land on the cleared value; fl(fl(0 + x) + y) does not depend on which of
// x, y comes first, so this equals the atomic form exactly.
void cu_WBP_productsym3_kernel::host_run(const LaunchShape&) const {
    if (nRows <= 0 || reconsX <= 0) return;
    float* table = table_buffer((size_t)8 * sinoX * (Ntilts / 2 + 1));
    const int W = reconsX, rows = nRows / W;
    const int rows_per_block = std::max(1, kBlockRows / W);
    const int blocks = block_count(rows, rows_per_block);
    const bool odd = (thickness & 1) != 0;
#pragma omp parallel
    {
        fill_level3_table(table, d_sino, sinoX, Ntilts);
        std::vector<float> acc(4 * (size_t)rows_per_block * W);  // A, C, B, D of each row
#pragma omp for schedule(dynamic, 1)
        for (int bi = 0; bi < blocks; ++bi) {
            const int j0 = bi * rows_per_block, j1 = std::min(rows, j0 + rows_per_block);
            const int count = (j1 - j0) * W;
            std::fill(acc.begin(), acc.begin() + 4 * (size_t)count, 0.0f);
            accumulate_table<4>(d_matrix, d_column, d_length, (size_t)nRows, factor, table,
                                row_block(d_length, j0 * W, count), acc.data());
            for (int j = j0; j < j1; ++j) {
                const float* s = acc.data() + 4 * (size_t)(j - j0) * W;  // row (i, j) at s + 4 i
                float* own = d_recons + (size_t)j * W;
                float* mirror = d_recons + (size_t)(thickness - 1 - j) * W;
                if (odd && j == rows - 1) {
                    for (int i = 0; i < W; ++i) own[i] = (own[i] + s[4 * i]) + s[4 * i + 1];
                    continue;
                }
                for (int i = 0; i < W; ++i) {
                    const float* side = s + 4 * (size_t)(W - 1 - i);
                    own[i] = (own[i] + s[4 * i]) + side[3];
                    mirror[i] = (mirror[i] + s[4 * i + 1]) + side[2];
                }
            }
        }
    }
}
