// Accumulation loops of the host products, for groups of W lanes (1, 4, 8,
// 16). Compiled once per vector set (host_forms_*.cpp); the includer defines
//   VEC_TARGET   the target string of the set (undefined for the baseline),
//   VEC_WIDEST   the lanes of one vector of the set,
//   VEC_VECTORS  the set (host_rows::Vectors),
//   VEC_SET      the name of the function that returns the set's table,
// and bool vec_cpu_supported() in host_rows::{anonymous}. The fixed-width lane
// loops are vectorised by the compiler; each lane keeps its own order of
// operations, and the build never contracts a multiply and an add.
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

// y = y + x[0 .. W - 1] * w, lane by lane.
template <class V>
VEC_FN inline void lanes_add(V& y, const float* __restrict x, float w) {
    V b;
    __builtin_memcpy(&b, x, sizeof b);
    y = y + b * w;
}

// The arrays of a matrix as restricted pointers, so that storing the sums
// never makes the compiler read them again.
struct Entries {
    const float* __restrict w;
    const int* __restrict col;
    explicit Entries(const Matrix& a) : w(a.weights), col(a.columns) {}
};

// Walks the live entries of a block, kEntries entries of a row at a time:
// fn(y, e) adds entry e (= k * stride + r) into the row's N sums y (vectors of
// W lanes), which stay in registers across those entries. Rows are visited in
// order for each group of entries, so every array is read front to back in
// runs, and each row still takes its entries in increasing k.
constexpr int kEntries = 4;

template <int N, int W, class Fn>
VEC_FN inline void each_entry(const Matrix& a, const RowBlock& b, float* __restrict acc, Fn fn) {
    typedef typename Lanes<W>::type V;
    const int* __restrict len = a.lengths + b.r0;
    for (int k = 0; k < b.max_len; k += kEntries) {
        const size_t off = (size_t)k * a.stride + (size_t)b.r0;
        for (int q = 0; q < b.count; ++q) {
            const int live = len[q] - k < kEntries ? len[q] - k : kEntries;
            if (live <= 0) continue;
            V y[N];
            __builtin_memcpy(y, acc + (size_t)q * N * W, sizeof y);
            if (live == kEntries) {
#pragma GCC unroll 4
                for (int i = 0; i < kEntries; ++i) fn(y, off + q + i * a.stride);
            } else {
                for (int i = 0; i < live; ++i) fn(y, off + q + i * a.stride);
            }
            __builtin_memcpy(acc + (size_t)q * N * W, y, sizeof y);
        }
    }
}

template <int W, int LC>
VEC_FN void level0_w(const Matrix& a, const BatchLanes& s, const RowBlock& b, float* __restrict acc) {
    const float* __restrict S = s.values + s.l0;
    const size_t L = LC ? (size_t)LC : (size_t)s.lanes;
    const Entries m(a);
    each_entry<1, W>(a, b, acc, [&](auto* y, size_t e) { lanes_add(y[0], S + (size_t)m.col[e] * L, m.w[e]); });
}

template <int W, int LC>
VEC_FN void level1_w(const Matrix& a, const BatchLanes& s, float factor, const RowBlock& b,
                     float* __restrict acc) {
    const float* __restrict S = s.values + s.l0;
    const size_t L = LC ? (size_t)LC : (size_t)s.lanes;
    const Entries m(a);
    each_entry<1, W>(a, b, acc, [&](auto* y, size_t e) {
        const float w = m.w[e];
        const float* x = S + (size_t)m.col[e] * L;
        lanes_add(y[0], x, w);
        lanes_add(y[0], x + L, factor - w);
    });
}

// A += s[col] w, then s[col + 1] g; B += s[col2] w, then s[col2 - 1] g.
template <class V>
VEC_FN inline void mirrored_pairs(V* y, const float* S, size_t L, int col, int col2, float w, float g) {
    const float* x = S + (size_t)col * L;
    const float* x2 = S + (size_t)col2 * L;
    lanes_add(y[0], x, w);
    lanes_add(y[0], x + L, g);
    lanes_add(y[1], x2, w);
    lanes_add(y[1], x2 - L, g);
}

template <int W, int LC>
VEC_FN void mirrored_w(const Matrix& a, const int* column2, const BatchLanes& s, float factor, const RowBlock& b,
                       float* __restrict acc) {
    const float* __restrict S = s.values + s.l0;
    const size_t L = LC ? (size_t)LC : (size_t)s.lanes;
    const Entries m(a);
    const int* __restrict col2 = column2;
    each_entry<2, W>(a, b, acc, [&](auto* y, size_t e) {
        const float w = m.w[e];
        mirrored_pairs(y, S, L, m.col[e], col2[e], w, factor - w);
    });
}

// C += m * s[i], then s[i + 1] * g (i = base - col2 - 1); D += m * s[j], then
// s[j - 1] * g (j = base - col - 1).
template <int W, int LC>
VEC_FN void level3_w(const Matrix& a, const int* column2, const BatchLanes& s, float factor,
                     const OppositeTilts& o, const RowBlock& b, float* __restrict acc) {
    const float* __restrict S = s.values + s.l0;
    const size_t L = LC ? (size_t)LC : (size_t)s.lanes;
    const Entries m(a);
    const int* __restrict col2s = column2;
    each_entry<4, W>(a, b, acc, [&](auto* y, size_t e) {
        const float w = m.w[e], g = factor - w;
        const int col = m.col[e], col2 = col2s[e];
        mirrored_pairs(y, S, L, col, col2, w, g);
        if (col >= o.lo && col < o.hi) {
            const float* c = S + (size_t)(o.base - col2 - 1) * L;
            const float* d = S + (size_t)(o.base - col - 1) * L;
            lanes_add(y[2], c, w);
            lanes_add(y[2], c + L, g);
            lanes_add(y[3], d, w);
            lanes_add(y[3], d - L, g);
        }
    });
}

template <int W, int LC>
VEC_FN void gather2_w(const Matrix& a, const BatchLanes& x, const RowBlock& b, float* __restrict acc) {
    const float* __restrict X = x.values + x.l0;
    const size_t L = LC ? (size_t)LC : (size_t)x.lanes;
    const Entries m(a);
    each_entry<2, W>(a, b, acc, [&](auto* y, size_t e) {
        const float w = m.w[e];
        const float* v = X + (size_t)m.col[e] * L;
        lanes_add(y[0], v, w);
        lanes_add(y[1], v, 1.0f - w);
    });
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
        default: call(1, 0); break;            \
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

}  // namespace
}  // namespace host_rows

#undef VEC_FN
#if defined(VEC_TARGET)
#pragma GCC pop_options
#endif

namespace host_rows {

// Outside the region: this runs on every processor.
const HostForms* VEC_SET() {
    static const HostForms set{VEC_VECTORS, VEC_WIDEST, level0, level1, mirrored, level3, gather2};
    static const bool usable = vec_cpu_supported();
    return usable ? &set : nullptr;
}

}  // namespace host_rows
