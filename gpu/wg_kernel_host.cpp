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

inline void lane2(const float* __restrict sino, const EntryK& e, float factor, int q, float* __restrict A,
                  float* __restrict B) {
    const bool live = e.all_live || e.k < e.len[q];
    const int c = live ? e.col[q] : 0, c2 = live ? e.col2[q] : 1;
    const float w = e.m[q], g = factor - w;
    const float a0 = sino[c] * w, a1 = sino[c + 1] * g;
    const float b0 = sino[c2] * w, b1 = sino[c2 - 1] * g;
    A[q] += live ? a0 : 0.0f;
    A[q] += live ? a1 : 0.0f;
    B[q] += live ? b0 : 0.0f;
    B[q] += live ? b1 : 0.0f;
}

// Opposite-tilt indices of level 3: the mirrored interpolations read samples
// i1, i1 + 1 (depth mirror) and i2, i2 + 1 (side mirror) of row Ntilts - t.
struct Opposite {
    int base, lo, hi;  // base = (Ntilts + 1) * sinoX; tilts with a partner have columns in [lo, hi)
};

inline void lane3_opposite(const float* __restrict sino, const EntryK& e, float factor, const Opposite& o, int q,
                           float* __restrict C, float* __restrict D) {
    const bool live = e.all_live || e.k < e.len[q];
    const int c = e.col[q], c2 = e.col2[q];
    const bool mir = live && c >= o.lo && c < o.hi;
    const int i1 = mir ? o.base - c2 - 1 : 0, i2 = mir ? o.base - c - 2 : 0;
    const float w = e.m[q], g = factor - w;
    const float c0 = w * sino[i1], c1 = sino[i1 + 1] * g;
    const float d0 = w * sino[i2 + 1], d1 = sino[i2] * g;
    C[q] += mir ? c0 : 0.0f;
    C[q] += mir ? c1 : 0.0f;
    D[q] += mir ? d0 : 0.0f;
    D[q] += mir ? d1 : 0.0f;
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

// Own-pixel and point-mirror columns of four rows, dead lanes on samples 0 and 1.
struct QuadColumns {
    __m128i live, c, c2;
};

inline QuadColumns quad_columns(const EntryK& e, int q) {
    const __m128i live = live_lanes(e, q);
    const __m128i c = _mm_and_si128(load4(e.col + q), live);
    const __m128i c2 = _mm_or_si128(_mm_and_si128(load4(e.col2 + q), live), _mm_andnot_si128(live, _mm_set1_epi32(1)));
    return {live, c, c2};
}

inline void quad2(const float* __restrict sino, const EntryK& e, float factor, const QuadColumns& qc, int q,
                  float* __restrict A, float* __restrict B) {
    alignas(16) int ia[4], ib[4];
    _mm_store_si128((__m128i*)ia, qc.c);
    _mm_store_si128((__m128i*)ib, _mm_sub_epi32(qc.c2, _mm_set1_epi32(1)));
    const __m128 lv = _mm_castsi128_ps(qc.live);
    const __m128 w = _mm_loadu_ps(e.m + q), g = _mm_sub_ps(_mm_set1_ps(factor), w);
    __m128 lo, hi;
    sample_pairs(sino, ia, lo, hi);
    __m128 a = _mm_loadu_ps(A + q);
    a = add_masked(a, lo, w, lv);
    a = add_masked(a, hi, g, lv);
    _mm_storeu_ps(A + q, a);
    sample_pairs(sino, ib, lo, hi);  // lo = s[c2 - 1], hi = s[c2]
    __m128 b = _mm_loadu_ps(B + q);
    b = add_masked(b, hi, w, lv);
    b = add_masked(b, lo, g, lv);
    _mm_storeu_ps(B + q, b);
}

inline void quad3_opposite(const float* __restrict sino, const EntryK& e, float factor, const Opposite& o,
                           const QuadColumns& qc, int q, float* __restrict C, float* __restrict D) {
    const __m128i mir = _mm_and_si128(qc.live, _mm_and_si128(_mm_cmpgt_epi32(qc.c, _mm_set1_epi32(o.lo - 1)),
                                                             _mm_cmpgt_epi32(_mm_set1_epi32(o.hi), qc.c)));
    const __m128i base = _mm_set1_epi32(o.base);
    alignas(16) int i1[4], i2[4];
    _mm_store_si128((__m128i*)i1, _mm_and_si128(_mm_sub_epi32(_mm_sub_epi32(base, qc.c2), _mm_set1_epi32(1)), mir));
    _mm_store_si128((__m128i*)i2, _mm_and_si128(_mm_sub_epi32(_mm_sub_epi32(base, qc.c), _mm_set1_epi32(2)), mir));
    const __m128 mv = _mm_castsi128_ps(mir);
    const __m128 w = _mm_loadu_ps(e.m + q), g = _mm_sub_ps(_mm_set1_ps(factor), w);
    __m128 lo, hi;
    sample_pairs(sino, i1, lo, hi);
    __m128 c = _mm_loadu_ps(C + q);
    c = add_masked(c, w, lo, mv);
    c = add_masked(c, hi, g, mv);
    _mm_storeu_ps(C + q, c);
    sample_pairs(sino, i2, lo, hi);
    __m128 d = _mm_loadu_ps(D + q);
    d = add_masked(d, w, hi, mv);
    d = add_masked(d, lo, g, mv);
    _mm_storeu_ps(D + q, d);
}
constexpr int kQuad = 4;
#else
constexpr int kQuad = 0;
#endif

// Level 0: one sample per entry; a plain loop the compiler vectorises.
void accumulate0(const float* __restrict matrix, const int* __restrict column, const int* __restrict length,
                 const float* __restrict sino, size_t stride, const RowBlock& b, float* __restrict sum) {
    for (int k = 0; k < b.max_len; ++k) {
        const size_t off = (size_t)k * stride + (size_t)b.r0;
        const float* __restrict m = matrix + off;
        const int* __restrict col = column + off;
        if (k < b.min_len) {
            for (int q = 0; q < b.count; ++q) sum[q] = sum[q] + sino[col[q]] * m[q];
        } else {
            const int* __restrict len = length + b.r0;
            for (int q = 0; q < b.count; ++q) {
                const bool live = k < len[q];
                const float v = sino[live ? col[q] : 0] * m[q];
                sum[q] = sum[q] + (live ? v : 0.0f);
            }
        }
    }
}

// Rows of a block handled four at a time where the target allows.
inline int quad_end(int count) { return kQuad ? count - count % 4 : 0; }

void accumulate1(const float* matrix, const int* column, const int* length, const float* __restrict sino,
                 size_t stride, float factor, const RowBlock& b, float* __restrict sum) {
    for (int k = 0; k < b.max_len; ++k) {
        const EntryK e = entry_k(matrix, column, nullptr, length, stride, b, k);
        int q = 0;
#if defined(__SSE2__)
        for (; q < quad_end(b.count); q += 4) quad1(sino, e, factor, q, sum);
#endif
        for (; q < b.count; ++q) lane1(sino, e, factor, q, sum);
    }
}

// Level 2 accumulation: own pixel A and point mirror B.
struct Sym2Arrays {
    const float* matrix;
    const int* column;
    const int* column2;
    const int* length;
    const float* sino;
    size_t stride;
    float factor;
};

void accumulate2(const Sym2Arrays& s, const RowBlock& b, float* __restrict A, float* __restrict B) {
    for (int k = 0; k < b.max_len; ++k) {
        const EntryK e = entry_k(s.matrix, s.column, s.column2, s.length, s.stride, b, k);
        int q = 0;
#if defined(__SSE2__)
        for (; q < quad_end(b.count); q += 4) quad2(s.sino, e, s.factor, quad_columns(e, q), q, A, B);
#endif
        for (; q < b.count; ++q) lane2(s.sino, e, s.factor, q, A, B);
    }
}

// Level 3 accumulation: A, B as at level 2, plus C (depth mirror) and D (side
// mirror) from the opposite tilt for entries whose tilt has a partner.
void accumulate3(const Sym2Arrays& s, const Opposite& o, const RowBlock& b, float* __restrict A,
                 float* __restrict B, float* __restrict C, float* __restrict D) {
    for (int k = 0; k < b.max_len; ++k) {
        const EntryK e = entry_k(s.matrix, s.column, s.column2, s.length, s.stride, b, k);
        int q = 0;
#if defined(__SSE2__)
        for (; q < quad_end(b.count); q += 4) {
            const QuadColumns qc = quad_columns(e, q);
            quad2(s.sino, e, s.factor, qc, q, A, B);
            quad3_opposite(s.sino, e, s.factor, o, qc, q, C, D);
        }
#endif
        for (; q < b.count; ++q) {
            lane2(s.sino, e, s.factor, q, A, B);
            lane3_opposite(s.sino, e, s.factor, o, q, C, D);
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
    const Sym2Arrays s{d_matrix, d_column, d_column2, d_length, d_sino, (size_t)nRows, factor};
    const long long npix = (long long)reconsX * thickness;
    const int blocks = block_count(nRows, kBlockRows);
#pragma omp parallel for schedule(dynamic, 2)
    for (int bi = 0; bi < blocks; ++bi) {
        const int r0 = bi * kBlockRows;
        const RowBlock b = row_block(d_length, r0, std::min(kBlockRows, nRows - r0));
        float A[kBlockRows], B[kBlockRows];
        std::fill(A, A + b.count, 0.0f);
        std::fill(B, B + b.count, 0.0f);
        accumulate2(s, b, A, B);
        for (int q = 0; q < b.count; ++q) {
            const int r = r0 + q;
            d_recons[r] = A[q];
            if (!wbp_centre_row(r, nRows, reconsX, thickness)) d_recons[npix - 1 - r] = B[q];
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
    const Sym2Arrays s{d_matrix, d_column, d_column2, d_length, d_sino, (size_t)nRows, factor};
    const Opposite o{(Ntilts + 1) * sinoX, wbp_mirrored_lo(sinoX), wbp_mirrored_hi(Ntilts, sinoX)};
    const int W = reconsX, rows = nRows / W;
    const int rows_per_block = std::max(1, kBlockRows / W);
    const int blocks = block_count(rows, rows_per_block);
    const bool odd = (thickness & 1) != 0;
#pragma omp parallel
    {
        std::vector<float> acc(4 * (size_t)rows_per_block * W);
#pragma omp for schedule(dynamic, 1)
        for (int bi = 0; bi < blocks; ++bi) {
            const int j0 = bi * rows_per_block, j1 = std::min(rows, j0 + rows_per_block);
            const int count = (j1 - j0) * W;
            float* A = acc.data();
            float* B = A + count;
            float* C = B + count;
            float* D = C + count;
            std::fill(A, A + 4 * (size_t)count, 0.0f);
            accumulate3(s, o, row_block(d_length, j0 * W, count), A, B, C, D);
            for (int j = j0; j < j1; ++j) {
                const size_t q0 = (size_t)(j - j0) * W;
                float* own = d_recons + (size_t)j * W;
                float* mirror = d_recons + (size_t)(thickness - 1 - j) * W;
                if (odd && j == rows - 1) {
                    for (int i = 0; i < W; ++i) own[i] = (own[i] + A[q0 + i]) + C[q0 + i];
                    continue;
                }
                for (int i = 0; i < W; ++i) {
                    own[i] = (own[i] + A[q0 + i]) + D[q0 + W - 1 - i];
                    mirror[i] = (mirror[i] + C[q0 + i]) + B[q0 + W - 1 - i];
                }
            }
        }
    }
}
