#pragma once
#include <cstdint>
#include <limits>

#include "io/output_modes.h"

// Running statistics of the reconstructed volume, gathered slice by slice.
// Minimum and maximum are floats as the header holds them, over the values that
// are numbers; the sum is a double and the count 64-bit so the mean stays right
// for volumes of any size. The
// squared deviations are kept per slice about the slice's own mean and merged,
// which avoids the cancellation of a plain sum of squares.
struct VolumeStats {
    // Start beyond every value; NaN never takes part, so min > max means no
    // number was added.
    float min = std::numeric_limits<float>::infinity();
    float max = -std::numeric_limits<float>::infinity();
    double sum = 0;
    int64_t count = 0;
    double m2 = 0;  // sum of squared deviations from the running mean
    int64_t clamped = 0;  // samples the output's MODE clamped (counted beside the values)
};

// Adds n values, in storage order.
void volume_stats_add(VolumeStats* stats, const float* values, int64_t n);
// The statistics of n values alone.
VolumeStats volume_stats_of(const float* values, int64_t n);
// out[s] = volume_stats_of(values + s * n, n) for s < count, bit for bit, on
// all threads.
void volume_stats_of_slices(const float* values, int64_t n, int count, VolumeStats* out);
// output_values of each slice in place and then volume_stats_of_slices of the
// results, with the clamped samples of each, bit for bit, in one walk: each
// piece is converted just before it is first counted.
void format_slices_with_stats(float* values, int64_t n, int count, const OutputFormat& format, VolumeStats* out);
// Adds the values that `part` holds, as volume_stats_add would have added them:
// the result is the same bit for bit, so statistics gathered slice by slice
// elsewhere (by other processes) merge in slice order into the same header.
void volume_stats_merge(VolumeStats* stats, const VolumeStats& part);
// sum / count as a float (not a number when nothing was added).
float volume_stats_mean(const VolumeStats& stats);
// Root-mean-square deviation from the mean (not a number when nothing was added).
float volume_stats_rms(const VolumeStats& stats);
