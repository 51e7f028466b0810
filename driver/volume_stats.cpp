#include "driver/volume_stats.h"

#include <algorithm>
#include <cmath>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Nothing to do to the values before they are counted.
struct AsTheyAre {
    void operator()(int, int64_t, int64_t) const {}
};

// Converts the values of slice s, from i0 on for m values, to the output's
// format just before they are counted, while they are in cache.
struct ToFormat {
    float* values;
    int64_t n;
    const OutputFormat* format;
    int64_t* clamped;  // per slice of the group
    void operator()(int s, int64_t i0, int64_t m) const {
        clamped[s] += output_values_here(values + s * n + i0, m, *format);
    }
};

// The statistics of G slices of n values each (slice s at v + s * n), walked
// together: each slice's sum is one chain of dependent additions in storage
// order, and taking G chains side by side keeps the adder busy instead of
// waiting on one. Each slice gets exactly the sums it would get alone.
// `prepare` sees every piece of the slices just before its first reading.
template <int G, class Prepare>
void stats_of_group(const float* v, int64_t n, VolumeStats* out, const Prepare& prepare) {
    float lo[G], hi[G];
    double sum[G], mean[G], m2[G];
    for (int s = 0; s < G; ++s) {
        lo[s] = out[s].min;
        hi[s] = out[s].max;
        sum[s] = 0;
        m2[s] = 0;
    }
    constexpr int64_t kPiece = 4096;  // of each slice: G pieces stay in the L2 cache
    for (int64_t i0 = 0; i0 < n; i0 += kPiece) {
        const int64_t end = std::min(n, i0 + kPiece);
        for (int s = 0; s < G; ++s) prepare(s, i0, end - i0);
        for (int64_t i = i0; i < end; ++i)
            for (int s = 0; s < G; ++s) {
                const float x = v[s * n + i];
                if (x < lo[s]) lo[s] = x;  // false for NaN
                if (x > hi[s]) hi[s] = x;
                sum[s] += x;
            }
    }
    for (int s = 0; s < G; ++s) mean[s] = sum[s] / (double)n;
    for (int64_t i = 0; i < n; ++i)
        for (int s = 0; s < G; ++s) {
            const double d = (double)v[s * n + i] - mean[s];
            m2[s] += d * d;
        }
    for (int s = 0; s < G; ++s) {
        out[s].min = lo[s];
        out[s].max = hi[s];
        out[s].sum = sum[s];
        out[s].count = n;
        out[s].m2 = m2[s];
    }
}

#if defined(__SSE2__)
// Eight slices' running values, as four slices a vector: lane s of the float
// vectors and of the double pair (2 h + s / 2 for s of half h) is slice s.
struct EightSlices {
    __m128 lo[2], hi[2];
    __m128d sum[4], m2[4];
};

// Element i of slices 0 .. 3 of v (slice s at v + s * n), for four elements
// at once: c[e] holds element i + e of each slice.
inline void four_elements(const float* v, int64_t n, int64_t i, __m128 c[4]) {
    c[0] = _mm_loadu_ps(v + i);
    c[1] = _mm_loadu_ps(v + n + i);
    c[2] = _mm_loadu_ps(v + 2 * n + i);
    c[3] = _mm_loadu_ps(v + 3 * n + i);
    _MM_TRANSPOSE4_PS(c[0], c[1], c[2], c[3]);
}

inline __m128 one_element(const float* v, int64_t n, int64_t i) {
    return _mm_setr_ps(v[i], v[n + i], v[2 * n + i], v[3 * n + i]);
}

// x = one element of slices 4h .. 4h + 3: min and max as `if (x < lo) lo = x`
// would (minps and maxps return their second operand for NaN), the sums in double.
inline void count_values(EightSlices& g, int h, __m128 x) {
    g.lo[h] = _mm_min_ps(x, g.lo[h]);
    g.hi[h] = _mm_max_ps(x, g.hi[h]);
    g.sum[2 * h] = _mm_add_pd(g.sum[2 * h], _mm_cvtps_pd(x));
    g.sum[2 * h + 1] = _mm_add_pd(g.sum[2 * h + 1], _mm_cvtps_pd(_mm_movehl_ps(x, x)));
}

inline void count_squares(EightSlices& g, int h, __m128 x, const __m128d mean[4]) {
    const __m128d d0 = _mm_sub_pd(_mm_cvtps_pd(x), mean[2 * h]);
    const __m128d d1 = _mm_sub_pd(_mm_cvtps_pd(_mm_movehl_ps(x, x)), mean[2 * h + 1]);
    g.m2[2 * h] = _mm_add_pd(g.m2[2 * h], _mm_mul_pd(d0, d0));
    g.m2[2 * h + 1] = _mm_add_pd(g.m2[2 * h + 1], _mm_mul_pd(d1, d1));
}

// Calls add(h, x) for elements i0 .. end - 1 of the eight slices in order,
// x holding one element of slices 4h .. 4h + 3.
template <class Add>
inline void each_element(const float* v, int64_t n, int64_t i0, int64_t end, const Add& add) {
    int64_t i = i0;
    for (; i + 4 <= end; i += 4) {
        __m128 a[4], b[4];
        four_elements(v, n, i, a);
        four_elements(v + 4 * n, n, i, b);
        for (int e = 0; e < 4; ++e) {
            add(0, a[e]);
            add(1, b[e]);
        }
    }
    for (; i < end; ++i) {
        add(0, one_element(v, n, i));
        add(1, one_element(v + 4 * n, n, i));
    }
}

// stats_of_group<8>, the same operations in the same order per slice with the
// slices side by side in vectors.
template <class Prepare>
void stats_of_eight(const float* v, int64_t n, VolumeStats* out, const Prepare& prepare) {
    EightSlices g;
    float lo[8], hi[8];
    double sum[8], m2[8];
    for (int s = 0; s < 8; ++s) lo[s] = out[s].min, hi[s] = out[s].max;
    for (int h = 0; h < 2; ++h) {
        g.lo[h] = _mm_loadu_ps(lo + 4 * h);
        g.hi[h] = _mm_loadu_ps(hi + 4 * h);
    }
    for (int k = 0; k < 4; ++k) g.sum[k] = g.m2[k] = _mm_setzero_pd();
    constexpr int64_t kPiece = 4096;
    for (int64_t i0 = 0; i0 < n; i0 += kPiece) {
        const int64_t end = std::min(n, i0 + kPiece);
        for (int s = 0; s < 8; ++s) prepare(s, i0, end - i0);
        each_element(v, n, i0, end, [&](int h, __m128 x) { count_values(g, h, x); });
    }
    __m128d mean[4];
    for (int k = 0; k < 4; ++k) mean[k] = _mm_div_pd(g.sum[k], _mm_set1_pd((double)n));
    each_element(v, n, 0, n, [&](int h, __m128 x) { count_squares(g, h, x, mean); });
    for (int h = 0; h < 2; ++h) {
        _mm_storeu_ps(lo + 4 * h, g.lo[h]);
        _mm_storeu_ps(hi + 4 * h, g.hi[h]);
    }
    for (int k = 0; k < 4; ++k) {
        _mm_storeu_pd(sum + 2 * k, g.sum[k]);
        _mm_storeu_pd(m2 + 2 * k, g.m2[k]);
    }
    for (int s = 0; s < 8; ++s) out[s] = VolumeStats{lo[s], hi[s], sum[s], n, m2[s], out[s].clamped};
}
#endif

// The statistics of groups of G slices on all threads; to_format(first) is
// the preparation of the group from slice first on.
template <class MakePrepare>
void stats_of_slices(const float* values, int64_t n, int count, VolumeStats* out, const MakePrepare& to_format) {
    if (n <= 0 || count <= 0) return;
    constexpr int G = 8;
    const int groups = (count + G - 1) / G;
#pragma omp parallel for schedule(dynamic, 1)
    for (int gi = 0; gi < groups; ++gi) {
        const int first = gi * G, left = count - first;
        const float* v = values + first * n;
        for (int s = 0; s < std::min(left, G); ++s) out[first + s] = VolumeStats{};
        if (left >= G) {
#if defined(__SSE2__)
            stats_of_eight(v, n, out + first, to_format(first));
#else
            stats_of_group<G>(v, n, out + first, to_format(first));
#endif
        } else {
            for (int s = 0; s < left; ++s) stats_of_group<1>(v + s * n, n, out + first + s, to_format(first + s));
        }
    }
}

}  // namespace

void volume_stats_of_slices(const float* values, int64_t n, int count, VolumeStats* out) {
    stats_of_slices(values, n, count, out, [](int) { return AsTheyAre{}; });
}

void format_slices_with_stats(float* values, int64_t n, int count, const OutputFormat& format, VolumeStats* out) {
    if (output_format_is_identity(format)) return volume_stats_of_slices(values, n, count, out);
    std::vector<int64_t> clamped((size_t)std::max(count, 0));
    stats_of_slices(values, n, count, out,
                    [&](int first) { return ToFormat{values + first * n, n, &format, clamped.data() + first}; });
    for (int s = 0; s < count; ++s) out[s].clamped = clamped[(size_t)s];
}

VolumeStats volume_stats_of(const float* values, int64_t n) {
    VolumeStats part;
    volume_stats_of_slices(values, n, 1, &part);
    return part;
}

void volume_stats_merge(VolumeStats* stats, const VolumeStats& part) {
    stats->clamped += part.clamped;
    if (part.count <= 0) return;
    if (part.min < stats->min) stats->min = part.min;
    if (part.max > stats->max) stats->max = part.max;
    double m2 = part.m2;
    // Merge with what came before (Chan et al.'s pairwise update).
    if (stats->count > 0) {
        const double before = (double)stats->count, n = (double)part.count;
        const double delta = part.sum / n - stats->sum / before;
        m2 += delta * delta * before * n / (before + n);
    }
    stats->m2 += m2;
    stats->sum += part.sum;
    stats->count += part.count;
}

void volume_stats_add(VolumeStats* stats, const float* values, int64_t n) {
    volume_stats_merge(stats, volume_stats_of(values, n));
}

float volume_stats_mean(const VolumeStats& stats) { return (float)(stats.sum / (double)stats.count); }

float volume_stats_rms(const VolumeStats& stats) { return (float)std::sqrt(stats.m2 / (double)stats.count); }
