#pragma once
#include <memory>
#include <vector>

#include "io/image.h"

// Taper that replaces the Hamming window: spectrum element k, at frequency
// f = min(k, N - k)/N cycles per sample, keeps factor 1 up to cutoff and falls
// off above it as exp(-(f - cutoff)^2 / (2 sigma^2)), or to 0 when sigma is 0.
struct RadialTaper {
    double cutoff;  // 0 < cutoff <= 0.5
    double sigma;   // >= 0
};

// The taper's factor of spectrum element k of n.
double radial_taper_factor(int k, int n, const RadialTaper& taper);

// Ramp (Ram-Lak) filter with a Hamming taper of the upper half band (or the
// given radial taper), applied to every sinogram row by complex FFTs of a
// padded power-of-two length.
void weighting_setup(int nx, int ntilts, const RadialTaper* radial = nullptr);
// A filter of real gains, one spectrum per tilt, instead of the ramp: element
// k of the transform of a row of tilt t is multiplied by gains[t * N + k],
// N = weighting_choose_fft_size(nx). Row r of weighting_filter_rows and of
// weighting_apply belongs to tilt r % ntilts; weighting_filter_row to tilt 0.
void weighting_setup_gains(int nx, int ntilts, const std::vector<float>& gains);
void weighting_apply(Image* sinogram);
void weighting_filter_row(int n, float* row);
// Filters `count` consecutive rows of n samples on all threads, each row exactly
// as weighting_filter_row filters it.
void weighting_filter_rows(int n, float* rows, long long count);
// Releases the current filter (a plan that took it keeps it until freed).
void weighting_teardown();

// The filter of the last set-up (null when none), which a plan takes so that
// it filters with its own filter whatever is set up after it; the filter is
// released with its last holder.
struct WeightingFilter;
std::shared_ptr<const WeightingFilter> weighting_current();
// weighting_filter_rows with the given filter.
void weighting_filter_rows_of(const WeightingFilter* filter, int n, float* rows, long long count);

// Facts of the filter in use, for tests (0 and null when none is set up).
int weighting_fft_size();
// Complex spectrum, 2*N floats (real, imaginary); null under per-tilt gains.
const float* weighting_filter_spectrum();
// Transform length for rows of nx samples; 0 when it would exceed 2^30.
int weighting_choose_fft_size(int nx);
