// Accumulation loops of the host products for processors with AVX2: eight sums
// per vector. This body is compiled twice, for AVX2 (host_rows_avx2.cpp) and for
// AVX2 with AVX-512VL (host_rows_avx512.cpp), which adds the sample windows
// below; the includer defines
//   VEC_TARGET   the target attribute string of every function here,
//   VEC_WINDOW   1 where the AVX-512VL two-register permutes are available,
//   VEC_SET      the name of the function that returns the set.
// The build never contracts a multiply and an add into one (-ffp-contract=off),
// so every product and sum rounds as in the per-row form.
#include <immintrin.h>

#include "host_simd/host_rows.h"

#define VEC_FN __attribute__((target(VEC_TARGET)))

namespace host_rows {
namespace {

VEC_FN inline __m256i load8(const int* p) { return _mm256_loadu_si256((const __m256i*)p); }

// True when rows q .. q + 7 all have an entry k.
VEC_FN inline bool eight_live(const EntryK& e, int q) {
    if (e.all_live) return true;
    const __m256i live = _mm256_cmpgt_epi32(load8(e.len + q), _mm256_set1_epi32(e.k));
    return _mm256_movemask_ps(_mm256_castsi256_ps(live)) == 0xff;
}


// lo = s[i[l]], hi = s[i[l] + 1] for the eight lanes l, from eight 8-byte loads.
VEC_FN inline void sample_pairs8(const float* s, const int* i, __m256& lo, __m256& hi) {
    const __m256 y0 = _mm256_insertf128_ps(_mm256_castps128_ps256(pair2(s, i[0], i[1])), pair2(s, i[4], i[5]), 1);
    const __m256 y1 = _mm256_insertf128_ps(_mm256_castps128_ps256(pair2(s, i[2], i[3])), pair2(s, i[6], i[7]), 1);
    lo = _mm256_shuffle_ps(y0, y1, _MM_SHUFFLE(2, 0, 2, 0));
    hi = _mm256_shuffle_ps(y0, y1, _MM_SHUFFLE(3, 1, 3, 1));
}

// lo = s[i[l]], hi = s[i[l] + 1] as sample_pairs8. Neighbouring pixels read
// neighbouring samples, so the eight index pairs usually lie within the 16
// samples from the first index on: then two loads and two permutes across both
// registers fetch them all (samples = length of s, to stay inside it).
VEC_FN inline void window_pairs8(const float* s, size_t samples, __m256i i, __m256& lo, __m256& hi) {
#if VEC_WINDOW
    const int base = _mm256_cvtsi256_si32(i);
    const __m256i d = _mm256_sub_epi32(i, _mm256_set1_epi32(base));
    if ((size_t)base + 16 <= samples && _mm256_cmpgt_epu32_mask(d, _mm256_set1_epi32(14)) == 0) {
        const __m256 a = _mm256_loadu_ps(s + base), b = _mm256_loadu_ps(s + base + 8);
        lo = _mm256_permutex2var_ps(a, d, b);
        hi = _mm256_permutex2var_ps(a, _mm256_add_epi32(d, _mm256_set1_epi32(1)), b);
        return;
    }
#else
    (void)samples;
#endif
    alignas(32) int ia[8];
    _mm256_store_si256((__m256i*)ia, i);
    sample_pairs8(s, ia, lo, hi);
}

// Level 0, eight rows whose entry k + 1 is the sample after entry k.
VEC_FN void pair0_eight(const EntryK& e0, const EntryK& e1, const float* __restrict sino, size_t samples, int q,
                        float* __restrict sum) {
    const __m256i c0 = load8(e0.col + q), c1 = load8(e1.col + q);
    const __m256i next = _mm256_cmpeq_epi32(c1, _mm256_add_epi32(c0, _mm256_set1_epi32(1)));
    if (_mm256_movemask_ps(_mm256_castsi256_ps(next)) != 0xff || !eight_live(e1, q)) {
        for (int l = 0; l < 8; ++l) pair0_row(e0, e1, sino, q + l, sum);
        return;
    }
    __m256 lo, hi;
    window_pairs8(sino, samples, c0, lo, hi);
    __m256 acc = _mm256_loadu_ps(sum + q);
    acc = _mm256_add_ps(acc, _mm256_mul_ps(lo, _mm256_loadu_ps(e0.m + q)));
    acc = _mm256_add_ps(acc, _mm256_mul_ps(hi, _mm256_loadu_ps(e1.m + q)));
    _mm256_storeu_ps(sum + q, acc);
}

// Level 1, eight live rows.
VEC_FN void eight1(const float* __restrict sino, size_t samples, const EntryK& e, float factor, int q,
                   float* __restrict sum) {
    const __m256 w = _mm256_loadu_ps(e.m + q), g = _mm256_sub_ps(_mm256_set1_ps(factor), w);
    __m256 lo, hi;
    window_pairs8(sino, samples, load8(e.col + q), lo, hi);
    __m256 acc = _mm256_loadu_ps(sum + q);
    acc = _mm256_add_ps(acc, _mm256_mul_ps(lo, w));
    acc = _mm256_add_ps(acc, _mm256_mul_ps(hi, g));
    _mm256_storeu_ps(sum + q, acc);
}

// Level 2, four live rows: adds entry e to a = {A, B} of rows q .. q + 3.
VEC_FN inline __m256 table2_four(const EntryK& e, float factor, const float* __restrict tab, int q, __m256 a) {
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
    a = _mm256_add_ps(a, _mm256_mul_ps(lo, w));
    return _mm256_add_ps(a, _mm256_mul_ps(hi, g));
}

// Level 3, two live rows: adds entry e to a = {A, C, B, D} of rows q and q + 1.
VEC_FN inline __m256 table4_two(const EntryK& e, float factor, const float* __restrict tab, int q, __m256 a) {
    const float* t0 = tab + 8 * (size_t)e.col[q];
    const float* t1 = tab + 8 * (size_t)e.col[q + 1];
    const __m256 lo = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(t0)), _mm_loadu_ps(t1), 1);
    const __m256 hi = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(t0 + 4)), _mm_loadu_ps(t1 + 4), 1);
    const __m256 m2 = _mm256_castps128_ps256(_mm_loadl_pi(_mm_setzero_ps(), (const __m64*)(e.m + q)));
    const __m256 w = _mm256_permutevar8x32_ps(m2, _mm256_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1));
    const __m256 g = _mm256_sub_ps(_mm256_set1_ps(factor), w);
    a = _mm256_add_ps(a, _mm256_mul_ps(lo, w));
    return _mm256_add_ps(a, _mm256_mul_ps(hi, g));
}

VEC_FN void level0(const Matrix& a, const float* __restrict sino, size_t samples, const RowBlock& b,
                   float* __restrict sum) {
    LiveSpans spans = live_spans(b);
    for (int k = 0; k < b.max_len; k += 2) {
        const EntryK e0 = entry_k(a.weights, a.columns, a.lengths, a.stride, b, k);
        shrink_spans(spans, e0.len, k);
        if (k + 1 == b.max_len) {
            last0(e0, sino, b.count, sum);
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
            for (; q + 8 <= q1; q += 8) pair0_eight(e0, e1, sino, samples, q, sum);
            for (; q < q1; ++q) pair0_row(e0, e1, sino, q, sum);
        }
    }
}

VEC_FN void level1(const Matrix& a, const float* __restrict sino, size_t samples, float factor,
                   const RowBlock& b, float* __restrict sum) {
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
                    eight1(sino, samples, e, factor, q, sum);
                } else {
                    for (int l = 0; l < 8; ++l) lane1(sino, e, factor, q + l, sum);
                }
            }
            for (; q < q1; ++q) lane1(sino, e, factor, q, sum);
        }
    }
}

// Entries k .. k + E - 1 of the table forms in one pass: the sums of a vector of
// rows stay in a register across them, each row still adding entry k first.
template <int N, int E>
VEC_FN void table_pass(const Matrix& a, const float* __restrict tab, float factor, const RowBlock& b,
                       const LiveSpans& spans, int k, float* __restrict acc) {
    constexpr int rows = N == 2 ? 4 : 2;  // rows per vector of eight sums
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
                for (int l = 0; l < 8; l += rows) {
                    float* sums = acc + (size_t)N * (q + l);
                    __m256 v = _mm256_loadu_ps(sums);
                    for (int i = 0; i < E; ++i) {
                        if constexpr (N == 2) v = table2_four(e[i], factor, tab, q + l, v);
                        else v = table4_two(e[i], factor, tab, q + l, v);
                    }
                    _mm256_storeu_ps(sums, v);
                }
            } else {
                for (int l = 0; l < 8; ++l)
                    for (int i = 0; i < E; ++i) table_row<N>(e[i], factor, tab, q + l, acc);
            }
        }
        for (; q < q1; ++q)
            for (int i = 0; i < E; ++i) table_row<N>(e[i], factor, tab, q, acc);
    }
}

template <int N>
VEC_FN void table(const Matrix& a, const float* __restrict tab, float factor, const RowBlock& b,
                  float* __restrict acc) {
    LiveSpans spans = live_spans(b);
    for (int k = 0; k < b.max_len; k += 2) {
        shrink_spans(spans, a.lengths + b.r0, k);
        if (k + 1 < b.max_len) table_pass<N, 2>(a, tab, factor, b, spans, k, acc);
        else table_pass<N, 1>(a, tab, factor, b, spans, k, acc);
    }
}

}  // namespace

const Accumulators* VEC_SET() {
    static const Accumulators a{level0, level1, table<2>, table<4>};
    static const bool usable = vec_cpu_supported();
    return usable ? &a : nullptr;
}

}  // namespace host_rows
