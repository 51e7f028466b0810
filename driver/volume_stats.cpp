#include "driver/volume_stats.h"

#include <algorithm>
#include <cmath>
#include <vector>

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
            stats_of_group<G>(v, n, out + first, to_format(first));
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
