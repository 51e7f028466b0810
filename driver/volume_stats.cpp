#include "driver/volume_stats.h"

#include <cmath>

VolumeStats volume_stats_of(const float* values, int64_t n) {
    VolumeStats part;
    if (n <= 0) return part;
    double sum = 0;
    for (int64_t i = 0; i < n; ++i) {
        if (values[i] < part.min) part.min = values[i];  // false for NaN
        if (values[i] > part.max) part.max = values[i];
        sum += values[i];
    }
    const double mean = sum / (double)n;
    double m2 = 0;
    for (int64_t i = 0; i < n; ++i) m2 += ((double)values[i] - mean) * ((double)values[i] - mean);
    part.sum = sum;
    part.count = n;
    part.m2 = m2;
    return part;
}

void volume_stats_merge(VolumeStats* stats, const VolumeStats& part) {
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
