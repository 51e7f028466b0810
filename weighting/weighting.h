#pragma once
#include <memory>
#include <vector>

// Taper that replaces the Hamming window: spectrum element k, at frequency
// f = min(k, N - k)/N cycles per sample, keeps factor 1 up to cutoff and falls
// off above it as exp(-(f - cutoff)^2 / (2 sigma^2)), or to 0 when sigma is 0.
struct RadialTaper {
    double cutoff;  // 0 < cutoff <= 0.5
    double sigma;   // >= 0
};

// The taper's factor of spectrum element k of n.
double radial_taper_factor(int k, int n, const RadialTaper& taper);

// A weighting filter, owned by its handle (a plan's, or a test's): built once,
// applied to every sinogram row; released with its handle.
struct WeightingFilter;
struct WeightingFilterRelease {
    void operator()(WeightingFilter* f) const;
};
using WeightingFilterHandle = std::unique_ptr<WeightingFilter, WeightingFilterRelease>;

// Ramp (Ram-Lak) filter with a Hamming taper of the upper half band (or the
// given radial taper), applied to every sinogram row by complex FFTs of a
// padded power-of-two length.
WeightingFilterHandle weighting_setup(int nx, int ntilts, const RadialTaper* radial = nullptr);
// A filter of real gains, one spectrum per tilt, instead of the ramp: element
// k of the transform of a row of tilt t is multiplied by gains[t * N + k],
// N = weighting_choose_fft_size(nx). Row r of weighting_filter_rows belongs to
// tilt r % ntilts; weighting_filter_row to tilt 0.
WeightingFilterHandle weighting_setup_gains(int nx, int ntilts, const std::vector<float>& gains);

// Filter rows in place. weighting_filter_row uses the filter's own scratch
// buffer (one thread at a time per filter); weighting_filter_rows filters
// `count` consecutive rows of n samples on all threads, each row exactly as
// weighting_filter_row filters it, and may run on several threads at once.
void weighting_filter_row(WeightingFilter& filter, int n, float* row);
void weighting_filter_rows(const WeightingFilter& filter, int n, float* rows, long long count);

// Facts of a filter, for tests.
int weighting_fft_size(const WeightingFilter& filter);
// Complex spectrum, 2*N floats (real, imaginary); null under per-tilt gains.
const float* weighting_filter_spectrum(const WeightingFilter& filter);
// Transform length for rows of nx samples; 0 when it would exceed 2^30.
int weighting_choose_fft_size(int nx);
// Throws the set-up's "Unable to allocate memory for FFTs" where rows of nx
// samples need a longer transform than a filter accepts.
void weighting_check_row_length(int nx);
