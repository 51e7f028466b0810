// Accumulation loops of the host WBP products for processors with AVX2: eight
// sums per vector. Only these functions are compiled for AVX2 (and never with
// fused multiply-add, so that every product and sum rounds as in the per-row
// form); the product calls them only when the processor has it.
#include "gpu/host_rows.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>

#define WBP_AVX2 __attribute__((target("avx2")))

namespace host_rows {
namespace {

WBP_AVX2 inline __m256i load8(const int* p) { return _mm256_loadu_si256((const __m256i*)p); }

// True when rows q .. q + 7 all have an entry k.
WBP_AVX2 inline bool eight_live(const EntryK& e, int q) {
    if (e.all_live) return true;
    const __m256i live = _mm256_cmpgt_epi32(load8(e.len + q), _mm256_set1_epi32(e.k));
    return _mm256_movemask_ps(_mm256_castsi256_ps(live)) == 0xff;
}

// {s[a], s[a + 1], s[b], s[b + 1]}
WBP_AVX2 inline __m128 pair2(const float* s, int a, int b) {
    return _mm_loadh_pi(_mm_loadl_pi(_mm_setzero_ps(), (const __m64*)(s + a)), (const __m64*)(s + b));
}

// lo = s[i[l]], hi = s[i[l] + 1] for the eight lanes l, from eight 8-byte loads.
WBP_AVX2 inline void sample_pairs8(const float* s, const int* i, __m256& lo, __m256& hi) {
    const __m256 y0 = _mm256_insertf128_ps(_mm256_castps128_ps256(pair2(s, i[0], i[1])), pair2(s, i[4], i[5]), 1);
    const __m256 y1 = _mm256_insertf128_ps(_mm256_castps128_ps256(pair2(s, i[2], i[3])), pair2(s, i[6], i[7]), 1);
    lo = _mm256_shuffle_ps(y0, y1, _MM_SHUFFLE(2, 0, 2, 0));
    hi = _mm256_shuffle_ps(y0, y1, _MM_SHUFFLE(3, 1, 3, 1));
}

// Level 0, eight rows whose entry k + 1 is the sample after entry k.
WBP_AVX2 void pair0_eight(const EntryK& e0, const EntryK& e1, const float* __restrict sino, int q,
                          float* __restrict sum) {
    const __m256i c0 = load8(e0.col + q), c1 = load8(e1.col + q);
    const __m256i next = _mm256_cmpeq_epi32(c1, _mm256_add_epi32(c0, _mm256_set1_epi32(1)));
    if (_mm256_movemask_ps(_mm256_castsi256_ps(next)) != 0xff || !eight_live(e1, q)) {
        for (int l = 0; l < 8; ++l) pair0_row(e0, e1, sino, q + l, sum);
        return;
    }
    alignas(32) int ia[8];
    _mm256_store_si256((__m256i*)ia, c0);
    __m256 lo, hi;
    sample_pairs8(sino, ia, lo, hi);
    __m256 acc = _mm256_loadu_ps(sum + q);
    acc = _mm256_add_ps(acc, _mm256_mul_ps(lo, _mm256_loadu_ps(e0.m + q)));
    acc = _mm256_add_ps(acc, _mm256_mul_ps(hi, _mm256_loadu_ps(e1.m + q)));
    _mm256_storeu_ps(sum + q, acc);
}

// Level 1, eight live rows.
WBP_AVX2 void eight1(const float* __restrict sino, const EntryK& e, float factor, int q, float* __restrict sum) {
    alignas(32) int ia[8];
    _mm256_store_si256((__m256i*)ia, load8(e.col + q));
    const __m256 w = _mm256_loadu_ps(e.m + q), g = _mm256_sub_ps(_mm256_set1_ps(factor), w);
    __m256 lo, hi;
    sample_pairs8(sino, ia, lo, hi);
    __m256 acc = _mm256_loadu_ps(sum + q);
    acc = _mm256_add_ps(acc, _mm256_mul_ps(lo, w));
    acc = _mm256_add_ps(acc, _mm256_mul_ps(hi, g));
    _mm256_storeu_ps(sum + q, acc);
}

// SIRT forward projection, eight rows live in all E entries e[0 .. E).
template <int E>
WBP_AVX2 void gather2_eight(const EntryK* e, const float* __restrict x, int q, float* __restrict s1,
                            float* __restrict s2) {
    __m256 a1 = _mm256_loadu_ps(s1 + q), a2 = _mm256_loadu_ps(s2 + q);
    for (int i = 0; i < E; ++i) {
        const int* c = e[i].col + q;
        const __m256 v = _mm256_i32gather_ps(x, load8(c), 4);
        const __m256 w = _mm256_loadu_ps(e[i].m + q), g = _mm256_sub_ps(_mm256_set1_ps(1.0f), w);
        a1 = _mm256_add_ps(a1, _mm256_mul_ps(v, w));
        a2 = _mm256_add_ps(a2, _mm256_mul_ps(v, g));
    }
    _mm256_storeu_ps(s1 + q, a1);
    _mm256_storeu_ps(s2 + q, a2);
}

// Level 2, four live rows: {A, B} of rows q .. q + 3.
WBP_AVX2 void table2_four(const EntryK& e, float factor, const float* __restrict tab, int q,
                          float* __restrict acc) {
    const float* t = tab;  // A0 B0 A1 B1 of each row
    const __m256 y0 = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(t + 4 * (size_t)e.col[q])),
                                           _mm_loadu_ps(t + 4 * (size_t)e.col[q + 2]), 1);
    const __m256 y1 = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(t + 4 * (size_t)e.col[q + 1])),
                                           _mm_loadu_ps(t + 4 * (size_t)e.col[q + 3]), 1);
    const __m256 lo = _mm256_shuffle_ps(y0, y1, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 hi = _mm256_shuffle_ps(y0, y1, _MM_SHUFFLE(3, 2, 3, 2));
    const __m256 m4 = _mm256_castps128_ps256(_mm_loadu_ps(e.m + q));
    const __m256 w = _mm256_permutevar8x32_ps(m4, _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3));
    const __m256 g = _mm256_sub_ps(_mm256_set1_ps(factor), w);
    __m256 a = _mm256_loadu_ps(acc + 2 * q);
    a = _mm256_add_ps(a, _mm256_mul_ps(lo, w));
    a = _mm256_add_ps(a, _mm256_mul_ps(hi, g));
    _mm256_storeu_ps(acc + 2 * q, a);
}

// Level 3, two live rows: {A, C, B, D} of rows q and q + 1.
WBP_AVX2 void table4_two(const EntryK& e, float factor, const float* __restrict tab, int q, float* __restrict acc) {
    const float* t0 = tab + 8 * (size_t)e.col[q];
    const float* t1 = tab + 8 * (size_t)e.col[q + 1];
    const __m256 lo = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(t0)), _mm_loadu_ps(t1), 1);
    const __m256 hi = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(t0 + 4)), _mm_loadu_ps(t1 + 4), 1);
    const __m256 m2 = _mm256_castps128_ps256(_mm_loadl_pi(_mm_setzero_ps(), (const __m64*)(e.m + q)));
    const __m256 w = _mm256_permutevar8x32_ps(m2, _mm256_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1));
    const __m256 g = _mm256_sub_ps(_mm256_set1_ps(factor), w);
    __m256 a = _mm256_loadu_ps(acc + 4 * q);
    a = _mm256_add_ps(a, _mm256_mul_ps(lo, w));
    a = _mm256_add_ps(a, _mm256_mul_ps(hi, g));
    _mm256_storeu_ps(acc + 4 * q, a);
}

WBP_AVX2 void level0(const Matrix& a, const float* __restrict sino, const RowBlock& b, float* __restrict sum) {
    LiveSpans spans = live_spans(b);
    for (int k = 0; k < b.max_len; k += 2) {
        const EntryK e0 = entry_k(a.weights, a.columns, a.lengths, a.stride, b, k);
        shrink_spans(spans, e0.len, k);
        if (k + 1 == b.max_len) {  // a last, unpaired entry
            for (int q = 0; q < b.count; ++q)
                if (e0.all_live || k < e0.len[q]) sum[q] = sum[q] + sino[e0.col[q]] * e0.m[q];
            break;
        }
        const EntryK e1 = entry_k(a.weights, a.columns, a.lengths, a.stride, b, k + 1);
        const bool ahead = k + 3 < b.max_len;
        for (int si = 0; si < spans.count; ++si)
        for (int q0 = spans.lo[si]; q0 < spans.hi[si]; q0 += kLine) {
            const int q1 = std::min(spans.hi[si], q0 + kLine);
            if (ahead) {
                prefetch_ahead(e0, 2 * a.stride, q0);
                prefetch_ahead(e1, 2 * a.stride, q0);
            }
            int q = q0;
            for (; q + 8 <= q1; q += 8) pair0_eight(e0, e1, sino, q, sum);
            for (; q < q1; ++q) pair0_row(e0, e1, sino, q, sum);
        }
    }
}

WBP_AVX2 void level1(const Matrix& a, const float* __restrict sino, float factor, const RowBlock& b,
                     float* __restrict sum) {
    LiveSpans spans = live_spans(b);
    for (int k = 0; k < b.max_len; ++k) {
        const EntryK e = entry_k(a.weights, a.columns, a.lengths, a.stride, b, k);
        shrink_spans(spans, e.len, k);
        const bool ahead = k + 1 < b.max_len;
        for (int si = 0; si < spans.count; ++si)
        for (int q0 = spans.lo[si]; q0 < spans.hi[si]; q0 += kLine) {
            const int q1 = std::min(spans.hi[si], q0 + kLine);
            if (ahead) prefetch_ahead(e, a.stride, q0);
            int q = q0;
            for (; q + 8 <= q1; q += 8) {
                if (eight_live(e, q)) {
                    eight1(sino, e, factor, q, sum);
                } else {
                    for (int l = 0; l < 8; ++l) lane1(sino, e, factor, q + l, sum);
                }
            }
            for (; q < q1; ++q) lane1(sino, e, factor, q, sum);
        }
    }
}

// Rows q .. q + n - 1 all have an entry k.
inline bool rows_live(const EntryK& e, int q, int n) {
    if (e.all_live) return true;
    for (int l = 0; l < n; ++l)
        if (e.k >= e.len[q + l]) return false;
    return true;
}

template <int N>
WBP_AVX2 void table(const Matrix& a, const float* __restrict tab, float factor, const RowBlock& b,
                    float* __restrict acc) {
    constexpr int rows = N == 2 ? 4 : 2;  // rows per vector of eight sums
    LiveSpans spans = live_spans(b);
    for (int k = 0; k < b.max_len; ++k) {
        const EntryK e = entry_k(a.weights, a.columns, a.lengths, a.stride, b, k);
        shrink_spans(spans, e.len, k);
        const bool ahead = k + 1 < b.max_len;
        for (int si = 0; si < spans.count; ++si)
        for (int q0 = spans.lo[si]; q0 < spans.hi[si]; q0 += kLine) {
            const int q1 = std::min(spans.hi[si], q0 + kLine);
            if (ahead) prefetch_ahead(e, a.stride, q0);
            int q = q0;
            for (; q + rows <= q1; q += rows) {
                if (rows_live(e, q, rows)) {
                    if constexpr (N == 2) table2_four(e, factor, tab, q, acc);
                    else table4_two(e, factor, tab, q, acc);
                } else {
                    for (int l = 0; l < rows; ++l) table_row<N>(e, factor, tab, q + l, acc);
                }
            }
            for (; q < q1; ++q) table_row<N>(e, factor, tab, q, acc);
        }
    }
}

// Entries k .. k + E - 1 in one pass, so that each row's two sums stay in
// registers across them and more independent pixel loads are in flight.
template <int E>
WBP_AVX2 void gather2_pass(const Matrix& a, const float* __restrict x, const RowBlock& b, const LiveSpans& spans,
                           int k, float* __restrict s1, float* __restrict s2) {
    EntryK e[E];
    for (int i = 0; i < E; ++i) e[i] = entry_k(a.weights, a.columns, a.lengths, a.stride, b, k + i);
    const bool ahead = k + 2 * E <= b.max_len;
    for (int si = 0; si < spans.count; ++si)
    for (int q0 = spans.lo[si]; q0 < spans.hi[si]; q0 += kLine) {
        const int q1 = std::min(spans.hi[si], q0 + kLine);
        if (ahead)
            for (int i = 0; i < E; ++i) prefetch_ahead(e[i], E * a.stride, q0);
        int q = q0;
        for (; q + 8 <= q1; q += 8) {
            if (eight_live(e[E - 1], q)) {  // entry k + E - 1 live implies the earlier ones
                gather2_eight<E>(e, x, q, s1, s2);
            } else {
                for (int l = 0; l < 8; ++l)
                    for (int i = 0; i < E; ++i) gather2_row(e[i], x, q + l, s1, s2);
            }
        }
        for (; q < q1; ++q)
            for (int i = 0; i < E; ++i) gather2_row(e[i], x, q, s1, s2);
    }
}

WBP_AVX2 void gather2(const Matrix& a, const float* __restrict x, const RowBlock& b, float* __restrict s1,
                      float* __restrict s2) {
    LiveSpans spans = live_spans(b);
    for (int k = 0; k < b.max_len; k += 4) {
        shrink_spans(spans, a.lengths + b.r0, k);
        switch (std::min(4, b.max_len - k)) {
            case 4: gather2_pass<4>(a, x, b, spans, k, s1, s2); break;
            case 3: gather2_pass<3>(a, x, b, spans, k, s1, s2); break;
            case 2: gather2_pass<2>(a, x, b, spans, k, s1, s2); break;
            default: gather2_pass<1>(a, x, b, spans, k, s1, s2); break;
        }
    }
}

}  // namespace

const Accumulators* avx2_accumulators() {
    static const Accumulators a{level0, level1, table<2>, table<4>, gather2};
    static const bool usable = __builtin_cpu_supports("avx2");
    return usable ? &a : nullptr;
}

}  // namespace host_rows

#else

namespace host_rows {
const Accumulators* avx2_accumulators() { return nullptr; }
}  // namespace host_rows

#endif
