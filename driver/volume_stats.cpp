#include "driver/volume_stats.h"

#include <cmath>

void volume_stats_add(VolumeStats* stats, const float* values, int64_t n) {
    if (n <= 0) return;
    double sum = 0;
    for (int64_t i = 0; i < n; ++i) {
        if (values[i] < stats->min) stats->min = values[i];  // false for NaN
        if (values[i] > stats->max) stats->max = values[i];
        sum += values[i];
    }
    const double mean = sum / (double)n;
    double m2 = 0;
    for (int64_t i = 0; i < n; ++i) m2 += ((double)values[i] - mean) * ((double)values[i] - mean);

    // Merge with what came before (Chan et al.'s pairwise update).
    if (stats->count > 0) {
        const double before = (double)stats->count;
        const double delta = mean - stats->sum / before;
        m2 += delta * delta * before * (double)n / (before + (double)n);
    }
    stats->m2 += m2;
    stats->sum += sum;
    stats->count += n;
}

float volume_stats_mean(const VolumeStats& stats) { return (float)(stats.sum / (double)stats.count); }

float volume_stats_rms(const VolumeStats& stats) { return (float)std::sqrt(stats.m2 / (double)stats.count); }
