// Accumulation loops of the host products, for groups of W lanes (1, 4, 8,
// 16). Compiled once per vector set (host_forms_*.cpp); the includer defines
//   VEC_TARGET   the target string of the set (undefined for the baseline),
//   VEC_WIDEST   the lanes of one vector of the set,
//   VEC_VECTORS  the set (host_rows::Vectors),
//   VEC_SET      the name of the function that returns the set's table,
// and bool vec_cpu_supported() in host_rows::{anonymous}. The fixed-width lane
// loops are vectorised by the compiler; each lane keeps its own order of
// operations, and the build never contracts a multiply and an add.
#include <type_traits>
#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "host_simd/host_forms.h"

// Everything below, lambdas included, is compiled for the set; only this
// file's own functions are defined in the region.
#if defined(VEC_TARGET)
#define VEC_DO_PRAGMA(x) _Pragma(#x)
#define VEC_TARGET_PRAGMA(t) VEC_DO_PRAGMA(GCC target(t))
#pragma GCC push_options
VEC_TARGET_PRAGMA(VEC_TARGET)
#endif
#define VEC_FN
// Vectors pass by value only between inline functions of this file, never
// across the ABI of another translation unit (the note comes at the end of the
// includer, so it stays off there too).
#pragma GCC diagnostic ignored "-Wpsabi"

namespace host_rows {
namespace {

// W lanes as one vector of the compiler's vector extension (a plain float for
// one lane): unaligned loads, and lane-wise products and sums rounded as scalar
// ones.
template <int W>
struct Lanes {
    typedef float type __attribute__((vector_size(sizeof(float) * W)));
};
template <>
struct Lanes<1> {
    typedef float type;
};

// Lane count 1 vectorises over rows instead: kPixels rows side by side in one
// vector, each lane a row with its own weights and gathered samples.
constexpr int kPixels = VEC_WIDEST >= 8 ? 8 : 4;
typedef float Pixels __attribute__((vector_size(sizeof(float) * kPixels)));
typedef int PixelColumns __attribute__((vector_size(sizeof(int) * kPixels)));

// How an entry meets its sums: W lanes of one row (a weight and a column), or
// kPixels rows of one lane (a vector of each).
struct InLanes {};
struct InPixels {};

template <class V, class T>
VEC_FN inline V load_as(const T* p) {
    V v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

VEC_FN inline float weight(const float* __restrict w, size_t e, InLanes) { return w[e]; }
VEC_FN inline Pixels weight(const float* __restrict w, size_t e, InPixels) { return load_as<Pixels>(w + e); }
VEC_FN inline int column(const int* __restrict c, size_t e, InLanes) { return c[e]; }
VEC_FN inline PixelColumns column(const int* __restrict c, size_t e, InPixels) {
    return load_as<PixelColumns>(c + e);
}

// x in every lane of V, with one broadcast where V is a vector of the set.
template <class V>
VEC_FN inline V splat(float x) {
#if VEC_WIDEST >= 16
    if constexpr (sizeof(V) == 64) return (V)_mm512_set1_ps(x);
#endif
#if VEC_WIDEST >= 8
    if constexpr (sizeof(V) == 32) return (V)_mm256_set1_ps(x);
#endif
#if defined(__SSE2__)
    if constexpr (sizeof(V) == 16) return (V)_mm_set1_ps(x);
#endif
    float t[sizeof(V) / sizeof(float)];
    for (float& v : t) v = x;
    return load_as<V>(t);
}

// An entry's two weights: w = weight e, g = factor - w. W lanes take w
// broadcast straight from memory and g in one vector subtraction, which
// spares the vector unit a broadcast (the compiler, left to itself, takes g
// in scalar and broadcasts both). The forward projection's gather keeps the
// scalar g, which measured faster there.
template <class V>
struct Weights {
    V w, g;
};
template <class V>
VEC_FN inline Weights<V> weights(const float* __restrict w, size_t e, V factor, InLanes) {
    if constexpr (std::is_same_v<V, float>) {
        return {w[e], factor - w[e]};
    } else {
        V v = splat<V>(w[e]);
#if defined(__SSE2__)
        if constexpr (sizeof(V) <= sizeof(float) * VEC_WIDEST) __asm__("" : "+v"(v));  // keeps g a vector subtraction
#endif
        return {v, factor - v};
    }
}
VEC_FN inline Weights<Pixels> weights(const float* __restrict w, size_t e, Pixels factor, InPixels) {
    const Pixels v = load_as<Pixels>(w + e);
    return {v, factor - v};
}

// The samples at column * L + d: W lanes side by side, or one per row.
template <class V>
VEC_FN inline V sample(const float* S, int col, size_t L, ptrdiff_t d, InLanes) {
    return load_as<V>(S + (size_t)col * L + d);
}
template <class V>
VEC_FN inline Pixels sample(const float* S, PixelColumns col, size_t L, ptrdiff_t d, InPixels) {
    Pixels x;
#pragma GCC unroll 8
    for (int p = 0; p < kPixels; ++p) x[p] = S[(size_t)col[p] * L + d];
    return x;
}

// lo, hi = the samples at column * L + d and one lane stride further on. One
// lane's rows read the two neighbours with one 8-byte load each, two rows per
// 128-bit half, and split them with two shuffles.
template <class V>
VEC_FN inline void sample_pair(const float* S, int col, size_t L, ptrdiff_t d, InLanes in, V& lo, V& hi) {
    lo = sample<V>(S, col, L, d, in);
    hi = sample<V>(S, col, L, d + (ptrdiff_t)L, in);
}

#if defined(__SSE2__)
// {s[a], s[a + 1], s[b], s[b + 1]}.
VEC_FN inline __m128 pair2(const float* s, ptrdiff_t a, ptrdiff_t b) {
    return _mm_loadh_pi(_mm_loadl_pi(_mm_setzero_ps(), (const __m64*)(s + a)), (const __m64*)(s + b));
}
#endif

template <class V>
VEC_FN inline void sample_pair(const float* S, PixelColumns col, size_t L, ptrdiff_t d, InPixels in, Pixels& lo,
                               Pixels& hi) {
#if defined(__SSE2__)
    if (L == 1) {
        const PixelColumns i = col + (int)d;
#if VEC_WIDEST >= 8
        const __m256 y0 = _mm256_insertf128_ps(_mm256_castps128_ps256(pair2(S, i[0], i[1])), pair2(S, i[4], i[5]), 1);
        const __m256 y1 = _mm256_insertf128_ps(_mm256_castps128_ps256(pair2(S, i[2], i[3])), pair2(S, i[6], i[7]), 1);
        lo = (Pixels)_mm256_shuffle_ps(y0, y1, _MM_SHUFFLE(2, 0, 2, 0));
        hi = (Pixels)_mm256_shuffle_ps(y0, y1, _MM_SHUFFLE(3, 1, 3, 1));
#else
        const __m128 x01 = pair2(S, i[0], i[1]), x23 = pair2(S, i[2], i[3]);
        lo = (Pixels)_mm_shuffle_ps(x01, x23, _MM_SHUFFLE(2, 0, 2, 0));
        hi = (Pixels)_mm_shuffle_ps(x01, x23, _MM_SHUFFLE(3, 1, 3, 1));
#endif
        return;
    }
#endif
    lo = sample<V>(S, col, L, d, in);
    hi = sample<V>(S, col, L, d + (ptrdiff_t)L, in);
}

// The arrays of a matrix as restricted pointers, so that storing the sums
// never makes the compiler read them again.
struct Entries {
    const float* __restrict w;
    const int* __restrict col;
    explicit Entries(const Matrix& a) : w(a.weights), col(a.columns) {}
};

// Walks the live entries of a block, kEntries entries of a row at a time:
// fn(y, e, InLanes) adds entry e (= k * stride + r) into the row's N sums y
// (vectors of W lanes), which stay in registers across those entries. Rows are
// visited in order for each group of entries, so every array is read front to
// back in runs, and each row still takes its entries in increasing k. Rows go
// in groups of kChains / N whose entries are interleaved, so that kChains
// independent sums are in flight and the adds do not wait on each other. With
// one lane, groups of kPixels rows live at all kEntries entries go as one
// vector each: fn(y, e, InPixels), e the entry of the group's first row.
constexpr int kEntries = 4, kChains = 8;

// The walk both loops share: kEntries entries at a time, groups of P rows
// all live through those entries go to group(q, off), the rest row by row to
// one_row(q, k, off) (off: the first entry's offset in the block).
template <int P, class OneRow, class Group>
VEC_FN inline void each_group(const Matrix& a, const RowBlock& b, OneRow one_row, Group group) {
    const int* __restrict len = a.lengths + b.r0;
    for (int k = 0; k < b.max_len; k += kEntries) {
        const size_t off = (size_t)k * a.stride + (size_t)b.r0;
        int q = 0;
        for (; q + P <= b.count; q += P) {
            int shortest = len[q];
            for (int p = 1; p < P; ++p) shortest = shortest < len[q + p] ? shortest : len[q + p];
            if (shortest < k + kEntries) {
                for (int p = 0; p < P; ++p) one_row(q + p, k, off);
                continue;
            }
            group(q, off);
        }
        for (; q < b.count; ++q) one_row(q, k, off);
    }
}

template <int N, int W, class Fn>
VEC_FN inline void each_entry(const Matrix& a, const RowBlock& b, float* __restrict acc, Fn fn) {
    typedef typename Lanes<W>::type V;
    constexpr int P = W == 1 ? kPixels : kChains / N;
    const int* __restrict len = a.lengths + b.r0;
    // The entries of row q from k on, as many as live up to kEntries.
    auto one_row = [&](int q, int k, size_t off) {
        const int live = len[q] - k < kEntries ? len[q] - k : kEntries;
        if (live <= 0) return;
        V y[N];
        __builtin_memcpy(y, acc + (size_t)q * N * W, sizeof y);
        for (int i = 0; i < live; ++i) fn(y, off + q + i * a.stride, InLanes{});
        __builtin_memcpy(acc + (size_t)q * N * W, y, sizeof y);
    };
    each_group<P>(a, b, one_row, [&](int q, size_t off) {
        float* sums = acc + (size_t)q * N * W;
        if constexpr (W == 1) {
            // The sums of the rows, stored row by row, as one vector per sum.
            float t[N][P];
            for (int p = 0; p < P; ++p)
                for (int n = 0; n < N; ++n) t[n][p] = sums[p * N + n];
            Pixels y[N];
            __builtin_memcpy(y, t, sizeof y);
#pragma GCC unroll 4
            for (int i = 0; i < kEntries; ++i) fn(y, off + q + i * a.stride, InPixels{});
            __builtin_memcpy(t, y, sizeof y);
            for (int p = 0; p < P; ++p)
                for (int n = 0; n < N; ++n) sums[p * N + n] = t[n][p];
        } else {
            V y[P][N];
            __builtin_memcpy(y, sums, sizeof y);
#pragma GCC unroll 4
            for (int i = 0; i < kEntries; ++i)
#pragma GCC unroll 8
                for (int p = 0; p < P; ++p) fn(y[p], off + q + p + i * a.stride, InLanes{});
            __builtin_memcpy(sums, y, sizeof y);
        }
    });
}

// A form's factor as each kind of sums takes it.
template <int W>
struct FactorsOf {
    typedef typename Lanes<W>::type V;
    V lanes;
    Pixels pixels;
    explicit FactorsOf(float f) : lanes(splat<V>(f)), pixels(splat<Pixels>(f)) {}
    template <class T>
    T get() const {
        if constexpr (std::is_same_v<T, Pixels> && !std::is_same_v<V, Pixels>) return pixels;
        else return lanes;
    }
};

// The sum vectors of a form: W lanes, or kPixels rows of one lane.
template <int W, class In>
using SumsOf = std::conditional_t<std::is_same_v<In, InPixels>, Pixels, typename Lanes<W>::type>;

template <int W, int LC>
VEC_FN void level0_w(const Matrix& a, const BatchLanes& s, const RowBlock& b, float* __restrict acc) {
    const float* __restrict S = s.values + s.l0;
    const size_t L = LC ? (size_t)LC : (size_t)s.lanes;
    const Entries m(a);
    each_entry<1, W>(a, b, acc, [&](auto* y, size_t e, auto in) {
        typedef SumsOf<W, decltype(in)> V;
        y[0] = y[0] + sample<V>(S, column(m.col, e, in), L, 0, in) * weight(m.w, e, in);
    });
}

template <int W, int LC>
VEC_FN void level1_w(const Matrix& a, const BatchLanes& s, float factor, const RowBlock& b,
                     float* __restrict acc) {
    const float* __restrict S = s.values + s.l0;
    const size_t L = LC ? (size_t)LC : (size_t)s.lanes;
    const Entries m(a);
    const FactorsOf<W> f(factor);
    each_entry<1, W>(a, b, acc, [&](auto* y, size_t e, auto in) {
        typedef SumsOf<W, decltype(in)> V;
        const Weights<V> k = weights(m.w, e, f.template get<V>(), in);
        V lo, hi;
        sample_pair<V>(S, column(m.col, e, in), L, 0, in, lo, hi);
        y[0] = y[0] + lo * k.w;
        y[0] = y[0] + hi * k.g;
    });
}

// A += s[col] w, then s[col + 1] g; B += s[col2] w, then s[col2 - 1] g.
template <class V, class Col, class Weight, class In>
VEC_FN inline void mirrored_pairs(V* y, const float* S, size_t L, Col col, Col col2, Weight w, Weight g, In in) {
    V lo, hi, lo2, hi2;  // s[col], s[col + 1]; s[col2 - 1], s[col2]
    sample_pair<V>(S, col, L, 0, in, lo, hi);
    sample_pair<V>(S, col2, L, -(ptrdiff_t)L, in, lo2, hi2);
    y[0] = y[0] + lo * w;
    y[0] = y[0] + hi * g;
    y[1] = y[1] + hi2 * w;
    y[1] = y[1] + lo2 * g;
}

template <int W, int LC>
VEC_FN void mirrored_w(const Matrix& a, const int* column2, const BatchLanes& s, float factor, const RowBlock& b,
                       float* __restrict acc) {
    const float* __restrict S = s.values + s.l0;
    const size_t L = LC ? (size_t)LC : (size_t)s.lanes;
    const Entries m(a);
    const int* __restrict col2 = column2;
    const FactorsOf<W> f(factor);
    each_entry<2, W>(a, b, acc, [&](auto* y, size_t e, auto in) {
        typedef SumsOf<W, decltype(in)> V;
        const Weights<V> k = weights(m.w, e, f.template get<V>(), in);
        mirrored_pairs<V>(y, S, L, column(m.col, e, in), column(col2, e, in), k.w, k.g, in);
    });
}

// C += m * s[i], then s[i + 1] * g (i = base - col2 - 1); D += m * s[j], then
// s[j - 1] * g (j = base - col - 1). Rows of a vector whose column has no
// opposite tilt keep their C and D, and read nothing for them.
template <int W, int LC>
VEC_FN void level3_w(const Matrix& a, const int* column2, const BatchLanes& s, float factor,
                     const OppositeTilts& o, const RowBlock& b, float* __restrict acc) {
    const float* __restrict S = s.values + s.l0;
    const size_t L = LC ? (size_t)LC : (size_t)s.lanes;
    const Entries m(a);
    const int* __restrict col2s = column2;
    const FactorsOf<W> f(factor);
    each_entry<4, W>(a, b, acc, [&](auto* y, size_t e, auto in) {
        typedef SumsOf<W, decltype(in)> V;
        const Weights<V> k = weights(m.w, e, f.template get<V>(), in);
        const V w = k.w, g = k.g;
        const auto col = column(m.col, e, in), col2 = column(col2s, e, in);
        mirrored_pairs<V>(y, S, L, col, col2, w, g, in);
        if constexpr (std::is_same_v<decltype(in), InPixels>) {
            // Unpaired rows read their own samples instead, which are in range.
            const PixelColumns paired = (col >= o.lo) & (col < o.hi);
            const PixelColumns c = paired ? o.base - col2 - 1 : col, d = paired ? o.base - col - 1 : col2;
            Pixels c0, c1, d0, d1;  // s[c], s[c + 1]; s[d - 1], s[d]
            sample_pair<V>(S, c, L, 0, in, c0, c1);
            sample_pair<V>(S, d, L, -(ptrdiff_t)L, in, d0, d1);
            const Pixels y2 = (y[2] + c0 * w) + c1 * g, y3 = (y[3] + d1 * w) + d0 * g;
            y[2] = paired ? y2 : y[2];
            y[3] = paired ? y3 : y[3];
        } else if (col >= o.lo && col < o.hi) {
            const int c = o.base - col2 - 1, d = o.base - col - 1;
            y[2] = y[2] + sample<V>(S, c, L, 0, in) * w;
            y[2] = y[2] + sample<V>(S, c, L, (ptrdiff_t)L, in) * g;
            y[3] = y[3] + sample<V>(S, d, L, 0, in) * w;
            y[3] = y[3] + sample<V>(S, d, L, -(ptrdiff_t)L, in) * g;
        }
    });
}

template <int W, int LC>
VEC_FN void gather2_w(const Matrix& a, const BatchLanes& x, const RowBlock& b, float* __restrict acc) {
    const float* __restrict X = x.values + x.l0;
    const size_t L = LC ? (size_t)LC : (size_t)x.lanes;
    const Entries m(a);
    each_entry<2, W>(a, b, acc, [&](auto* y, size_t e, auto in) {
        typedef SumsOf<W, decltype(in)> V;
        const auto w = weight(m.w, e, in);
        const V v = sample<V>(X, column(m.col, e, in), L, 0, in);
        y[0] = y[0] + v * w;
        y[1] = y[1] + v * (1.0f - w);
    });
}

// The sums of kPixels / N rows side by side in one vector (acc holds each row's
// N sums together): an entry loads each row's N first and N second samples from
// the table, and a lane's two adds are those of the per-item form (a sum of an
// unpaired tilt adds w * 0, which leaves it as it was).
template <int N>
VEC_FN inline void table_row(const float* __restrict T, float w, int col, float factor, float* __restrict sums) {
    const float* t = T + (size_t)2 * N * col;
    for (int n = 0; n < N; ++n) sums[n] = sums[n] + t[n] * w;
    for (int n = 0; n < N; ++n) sums[n] = sums[n] + t[N + n] * (factor - w);
}

#if defined(__SSE2__)
// lo, hi and the weights of rows e .. e + kPixels / N - 1, as the sums lie.
template <int N>
VEC_FN inline void table_rows(const float* __restrict T, const Entries& m, size_t e, Pixels& lo, Pixels& hi,
                              Pixels& w) {
    const int* c = m.col + e;
    auto rec = [&](int p) { return T + (size_t)2 * N * c[p]; };
#if VEC_WIDEST >= 8
    if constexpr (N == 4) {
        lo = (Pixels)_mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(rec(0))), _mm_loadu_ps(rec(1)), 1);
        hi = (Pixels)_mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(rec(0) + 4)), _mm_loadu_ps(rec(1) + 4),
                                          1);
        const __m256 w2 = _mm256_castps128_ps256(_mm_loadl_pi(_mm_setzero_ps(), (const __m64*)(m.w + e)));
        w = (Pixels)_mm256_permutevar8x32_ps(w2, _mm256_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1));
    } else {
        const __m256 y0 = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(rec(0))), _mm_loadu_ps(rec(2)), 1);
        const __m256 y1 = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(rec(1))), _mm_loadu_ps(rec(3)), 1);
        lo = (Pixels)_mm256_shuffle_ps(y0, y1, _MM_SHUFFLE(1, 0, 1, 0));
        hi = (Pixels)_mm256_shuffle_ps(y0, y1, _MM_SHUFFLE(3, 2, 3, 2));
        const __m256 w4 = _mm256_castps128_ps256(_mm_loadu_ps(m.w + e));
        w = (Pixels)_mm256_permutevar8x32_ps(w4, _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3));
    }
#else
    if constexpr (N == 4) {
        lo = (Pixels)_mm_loadu_ps(rec(0));
        hi = (Pixels)_mm_loadu_ps(rec(0) + 4);
        w = (Pixels)_mm_set1_ps(m.w[e]);
    } else {
        const __m128 x0 = _mm_loadu_ps(rec(0)), x1 = _mm_loadu_ps(rec(1));
        lo = (Pixels)_mm_shuffle_ps(x0, x1, _MM_SHUFFLE(1, 0, 1, 0));
        hi = (Pixels)_mm_shuffle_ps(x0, x1, _MM_SHUFFLE(3, 2, 3, 2));
        w = (Pixels)_mm_setr_ps(m.w[e], m.w[e], m.w[e + 1], m.w[e + 1]);
    }
#endif
}
#endif

// Walks the block as each_entry does, kEntries entries of a row at a time, with
// kChains vectors of rows in flight; rows short of those entries go one by one.
template <int N>
VEC_FN void table_n(const Matrix& a, const float* table, float factor, const RowBlock& b, float* __restrict acc) {
    const float* __restrict T = table;
    const Entries m(a);
    const int* __restrict len = a.lengths + b.r0;
    auto one_row = [&](int q, int k, size_t off) {
        for (int i = k; i < len[q] && i < k + kEntries; ++i) {
            const size_t e = off + q + (size_t)(i - k) * a.stride;
            table_row<N>(T, m.w[e], m.col[e], factor, acc + (size_t)q * N);
        }
    };
#if defined(__SSE2__)
    constexpr int R = kPixels / N, G = kChains / 2, P = R * G;
    each_group<P>(a, b, one_row, [&](int q, size_t off) {
        float* sums = acc + (size_t)q * N;
        Pixels y[G];
        __builtin_memcpy(y, sums, sizeof y);
#pragma GCC unroll 4
        for (int i = 0; i < kEntries; ++i)
#pragma GCC unroll 4
            for (int g = 0; g < G; ++g) {
                Pixels lo, hi, w;
                table_rows<N>(T, m, off + q + g * R + i * a.stride, lo, hi, w);
                y[g] = y[g] + lo * w;
                y[g] = y[g] + hi * (factor - w);
            }
        __builtin_memcpy(sums, y, sizeof y);
    });
#else
    for (int k = 0; k < b.max_len; k += kEntries)
        for (int q = 0; q < b.count; ++q) one_row(q, k, (size_t)k * a.stride + (size_t)b.r0);
#endif
}

// One function per form, choosing the template for the group's width.
// A batch of exactly one group (lanes == width, the usual case) has its lane
// stride as a constant, which spares an integer multiply per sample read.
#define VEC_BY_WIDTH(call)                     \
    switch (width) {                           \
        case 16:                               \
            if (lanes == 16) call(16, 16);     \
            else call(16, 0);                  \
            break;                             \
        case 8:                                \
            if (lanes == 8) call(8, 8);        \
            else call(8, 0);                   \
            break;                             \
        case 4: call(4, 0); break;             \
        default:                               \
            if (lanes == 1) call(1, 1);        \
            else call(1, 0);                   \
            break;                             \
    }

VEC_FN void level0(const Matrix& a, const BatchLanes& s, const RowBlock& b, float* acc) {
    const int width = s.width, lanes = s.lanes;
#define CALL(W, LC) level0_w<W, LC>(a, s, b, acc)
    VEC_BY_WIDTH(CALL)
#undef CALL
}

VEC_FN void level1(const Matrix& a, const BatchLanes& s, float factor, const RowBlock& b, float* acc) {
    const int width = s.width, lanes = s.lanes;
#define CALL(W, LC) level1_w<W, LC>(a, s, factor, b, acc)
    VEC_BY_WIDTH(CALL)
#undef CALL
}

VEC_FN void mirrored(const Matrix& a, const int* column2, const BatchLanes& s, float factor, const RowBlock& b,
                     float* acc) {
    const int width = s.width, lanes = s.lanes;
#define CALL(W, LC) mirrored_w<W, LC>(a, column2, s, factor, b, acc)
    VEC_BY_WIDTH(CALL)
#undef CALL
}

VEC_FN void level3(const Matrix& a, const int* column2, const BatchLanes& s, float factor, const OppositeTilts& o,
                   const RowBlock& b, float* acc) {
    const int width = s.width, lanes = s.lanes;
#define CALL(W, LC) level3_w<W, LC>(a, column2, s, factor, o, b, acc)
    VEC_BY_WIDTH(CALL)
#undef CALL
}

VEC_FN void gather2(const Matrix& a, const BatchLanes& x, const RowBlock& b, float* acc) {
    const int width = x.width, lanes = x.lanes;
#define CALL(W, LC) gather2_w<W, LC>(a, x, b, acc)
    VEC_BY_WIDTH(CALL)
#undef CALL
}

#undef VEC_BY_WIDTH

VEC_FN void table_sums(const Matrix& a, const float* table, int sums, float factor, const RowBlock& b, float* acc) {
    if (sums == 4) table_n<4>(a, table, factor, b, acc);
    else table_n<2>(a, table, factor, b, acc);
}

}  // namespace
}  // namespace host_rows

#undef VEC_FN
#if defined(VEC_TARGET)
#pragma GCC pop_options
#endif

namespace host_rows {

// Outside the region: this runs on every processor.
const HostForms* VEC_SET() {
    static const HostForms set{VEC_VECTORS, VEC_WIDEST, level0, level1, mirrored, level3, gather2, table_sums};
    static const bool usable = vec_cpu_supported();
    return usable ? &set : nullptr;
}

}  // namespace host_rows
