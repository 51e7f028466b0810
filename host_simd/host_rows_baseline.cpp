// Accumulation loops of the host products (WBP and the SIRT forward projection)
// for the baseline vector set: SSE2 on x86-64 (four rows per vector), one row at
// a time elsewhere.

#include "host_simd/host_rows.h"

namespace host_rows {
namespace {

#if defined(__SSE2__)
// lo = s[i[l]], hi = s[i[l] + 1] for the four lanes l.
inline void sample_pairs(const float* s, const int* i, __m128& lo, __m128& hi) {
    const __m128 x01 = pair2(s, i[0], i[1]), x23 = pair2(s, i[2], i[3]);
    lo = _mm_shuffle_ps(x01, x23, _MM_SHUFFLE(2, 0, 2, 0));
    hi = _mm_shuffle_ps(x01, x23, _MM_SHUFFLE(3, 1, 3, 1));
}

inline __m128i load4(const int* p) { return _mm_loadu_si128((const __m128i*)p); }

// True when rows q .. q + 3 all have an entry k.
inline bool four_live(const EntryK& e, int q) {
    return e.all_live ||
           _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(load4(e.len + q), _mm_set1_epi32(e.k)))) == 15;
}

// Level 0, four rows whose entry k + 1 is the sample after entry k (the matrix
// stores every tilt so); other rows go one at a time.
void pair0_quad(const EntryK& e0, const EntryK& e1, const float* __restrict sino, int q, float* __restrict sum) {
    const __m128i c0 = load4(e0.col + q), c1 = load4(e1.col + q);
    const __m128i next = _mm_cmpeq_epi32(c1, _mm_add_epi32(c0, _mm_set1_epi32(1)));
    // A live entry k + 1 implies a live entry k.
    if (_mm_movemask_ps(_mm_castsi128_ps(next)) != 15 || !four_live(e1, q)) {
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

// Level 1, four live rows.
void quad1(const float* __restrict sino, const EntryK& e, float factor, int q, float* __restrict sum) {
    alignas(16) int ia[4];
    _mm_store_si128((__m128i*)ia, load4(e.col + q));
    const __m128 w = _mm_loadu_ps(e.m + q), g = _mm_sub_ps(_mm_set1_ps(factor), w);
    __m128 lo, hi;
    sample_pairs(sino, ia, lo, hi);
    __m128 acc = _mm_loadu_ps(sum + q);
    acc = _mm_add_ps(acc, _mm_mul_ps(lo, w));
    acc = _mm_add_ps(acc, _mm_mul_ps(hi, g));
    _mm_storeu_ps(sum + q, acc);
}

// Level 2, two live rows in one vector: {A, B} of row q and of row q + 1.
void table2_rows(const EntryK& e, float factor, const float* __restrict table, int q, float* __restrict acc) {
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

void level0(const Matrix& a, const float* __restrict sino, size_t, const RowBlock& b, float* __restrict sum) {
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
#if defined(__SSE2__)
            for (; q + 4 <= q1; q += 4) pair0_quad(e0, e1, sino, q, sum);
#endif
            for (; q < q1; ++q) pair0_row(e0, e1, sino, q, sum);
        }
    }
}

// Walks entry k = 0, 1, ... across the live spans of a block in runs of at
// most kLine rows, prefetching ahead: body(e, q0, q1) adds entry e of rows
// q0 .. q1 - 1.
template <class Body>
void walk_entries(const Matrix& a, const RowBlock& b, Body body) {
    LiveSpans spans = live_spans(b);
    for (int k = 0; k < b.max_len; ++k) {
        const EntryK e = entry_k(a.weights, a.columns, a.lengths, a.stride, b, k);
        shrink_spans(spans, e.len, k);
        const bool ahead = k + 1 < b.max_len;
        for (int si = 0; si < spans.count; ++si)
        for (int q0 = spans.lo[si]; q0 < spans.hi[si]; q0 += kLine) {
            const int q1 = std::min(spans.hi[si], q0 + kLine);
            if (ahead) prefetch_ahead(e, a.stride, q0);
            body(e, q0, q1);
        }
    }
}

void level1(const Matrix& a, const float* __restrict sino, size_t, float factor, const RowBlock& b,
            float* __restrict sum) {
    walk_entries(a, b, [&](const EntryK& e, int q0, int q1) {
        int q = q0;
#if defined(__SSE2__)
        for (; q + 4 <= q1; q += 4) {
            if (four_live(e, q)) {
                quad1(sino, e, factor, q, sum);
            } else {
                for (int l = 0; l < 4; ++l) lane1(sino, e, factor, q + l, sum);
            }
        }
#endif
        for (; q < q1; ++q) lane1(sino, e, factor, q, sum);
    });
}

template <int N>
void table(const Matrix& a, const float* __restrict tab, float factor, const RowBlock& b, float* __restrict acc) {
    walk_entries(a, b, [&](const EntryK& e, int q0, int q1) {
        int q = q0;
#if defined(__SSE2__)
        if (N == 2) {
            for (; q + 2 <= q1; q += 2) {
                if (e.all_live || e.k < std::min(e.len[q], e.len[q + 1])) {
                    table2_rows(e, factor, tab, q, acc);
                } else {
                    table_row<N>(e, factor, tab, q, acc);
                    table_row<N>(e, factor, tab, q + 1, acc);
                }
            }
        }
#endif
        for (; q < q1; ++q) table_row<N>(e, factor, tab, q, acc);
    });
}

}  // namespace

const Accumulators& baseline_accumulators() {
    static const Accumulators a{level0, level1, table<2>, table<4>};
    return a;
}

}  // namespace host_rows
