#include "weighting/weighting.h"

#include <fftw3.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "io/fail.h"
#include "weighting/fftw_planner.h"

// A filter: built once per plan, applied to every sinogram row.
struct WeightingFilter {
    int nx = 0;                             // row length the filter was built for
    int fft_size = 0;                       // N, a power of two, at least 2*nx
    float inv_fft_size = 0;                 // 1/N
    FftwComplexes filter_spectrum;          // N values
    FftwComplexes work_buffer;              // N values, scratch for one row
    FftwPlan plan_forward;
    FftwPlan plan_backward;
    int ntilts = 0;                         // tilts of the per-tilt gains
    std::vector<float> tilt_gains;          // ntilts * N real gains; empty for the ramp
};

void WeightingFilterRelease::operator()(WeightingFilter* f) const { delete f; }

namespace {

// Largest transform length we accept: keeps N and the byte counts of the
// buffers well inside the 32-bit counts used elsewhere.
constexpr int64_t max_fft_size = int64_t(1) << 30;

constexpr float pi_squared = 9.869604110717773f;

// Discrete ramp kernel of unit sample spacing: 1/4 at the origin, -1/(k pi)^2
// at odd offsets k, zero at even ones; placed circularly (offset -k at N-k).
void fill_ramp_kernel(fftwf_complex* spectrum, int n, int nx) {
    for (int k = 0; k < n; ++k) spectrum[k][0] = spectrum[k][1] = 0.0f;
    spectrum[0][0] = 0.25f;
    for (int k = 1; k < nx; k += 2) {
        const float kf = (float)k;
        const float value = -1.0f / ((kf * pi_squared) * kf);
        spectrum[n - k][0] = value;
        spectrum[k][0] = value;
    }
}

void scale(fftwf_complex& element, float w) {
    element[0] *= w;
    element[1] *= w;
}

// Hamming taper of the upper half band, from 1 just above N/4 down to 0.08 at
// N/2. Element N/2 is its own mirror and so is scaled twice (0.0064).
void apply_hamming_taper(fftwf_complex* spectrum, int n) {
    const int half = n / 2;
    for (int k = n / 4 + 1; k <= half; ++k) {
        const float w = (float)(0.54 + cos((double)k * 6.283185307179586 / (double)half) * (-0.46));
        scale(spectrum[k], w);
        scale(spectrum[n - k], w);
    }
}

// Each element once, by its own frequency; the factor is evaluated in double
// and rounded to single precision, as the Hamming window's is.
void apply_radial_taper(fftwf_complex* spectrum, int n, const RadialTaper& taper) {
    for (int k = 0; k < n; ++k) {
        const double f = (double)std::min(k, n - k) / (double)n;
        if (f > taper.cutoff) scale(spectrum[k], (float)radial_taper_factor(k, n, taper));
    }
}

}  // namespace

double radial_taper_factor(int k, int n, const RadialTaper& taper) {
    const double f = (double)std::min(k, n - k) / (double)n;
    if (f <= taper.cutoff) return 1.0;
    const double d = f - taper.cutoff;
    return taper.sigma > 0 ? std::exp(-d * d / (2.0 * taper.sigma * taper.sigma)) : 0.0;
}

int weighting_choose_fft_size(int nx) {
    const int64_t twice = 2 * (int64_t)nx;
    int64_t n = 1;
    while (n < twice) n *= 2;
    // When the row nearly fills the padded length, go one power higher so the
    // wrapped-around tail of the kernel stays clear of the row.
    if ((double)((float)twice / (float)n) > 0.9) n *= 2;
    return n > max_fft_size ? 0 : (int)n;
}

void weighting_check_row_length(int nx) {
    if (weighting_choose_fft_size(nx) == 0) fail("Unable to allocate memory for FFTs\n");
}

namespace {

// The transform length, buffers and plans for rows of nx samples, with the
// spectrum buffer allocated but not filled.
WeightingFilterHandle allocate_filter(int nx) {
    weighting_check_row_length(nx);
    const int n = weighting_choose_fft_size(nx);
    WeightingFilterHandle handle(new WeightingFilter);
    WeightingFilter& filter = *handle;
    filter.nx = nx;
    filter.fft_size = n;
    filter.inv_fft_size = 1.0f / (float)n;

    filter.work_buffer = fftw_complexes((size_t)n);
    if (!filter.work_buffer) fail("Unable to allocate memory for FFTs\n");
    filter.filter_spectrum = fftw_complexes((size_t)n);
    if (!filter.filter_spectrum) fail("Unable to allocate memory for FFTs\n");

    // Both plans work in place on the work buffer; the kernel transform below
    // reuses the forward plan on the spectrum buffer, which has the same
    // alignment (both come from fftwf_malloc).
    fftwf_complex* work = filter.work_buffer.get();
    filter.plan_forward =
        fftw_plan_owned([&] { return fftwf_plan_dft_1d(n, work, work, FFTW_FORWARD, FFTW_ESTIMATE); });
    filter.plan_backward =
        fftw_plan_owned([&] { return fftwf_plan_dft_1d(n, work, work, FFTW_BACKWARD, FFTW_ESTIMATE); });
    if (!filter.plan_forward || !filter.plan_backward) fail("Unable to allocate memory for FFTs\n");
    return handle;
}

}  // namespace

WeightingFilterHandle weighting_setup(int nx, int /*ntilts*/, const RadialTaper* radial) {
    WeightingFilterHandle handle = allocate_filter(nx);
    WeightingFilter& filter = *handle;
    const int n = filter.fft_size;
    fftwf_complex* spectrum = filter.filter_spectrum.get();
    fill_ramp_kernel(spectrum, n, nx);
    fftwf_execute_dft(filter.plan_forward.get(), spectrum, spectrum);
    if (radial)
        apply_radial_taper(spectrum, n, *radial);
    else
        apply_hamming_taper(spectrum, n);
    return handle;
}

WeightingFilterHandle weighting_setup_gains(int nx, int ntilts, const std::vector<float>& gains) {
    const int n = weighting_choose_fft_size(nx);
    if (ntilts < 1 || n == 0 || gains.size() != (size_t)ntilts * (size_t)n)
        failf("weighting_setup_gains: %zu gains for %d tilts of %d samples\n", gains.size(), ntilts, n);
    WeightingFilterHandle handle = allocate_filter(nx);
    handle->ntilts = ntilts;
    handle->tilt_gains = gains;
    return handle;
}

namespace {

// Filters one row of n samples of tilt t with `work` (N complex values from
// fftwf_malloc, so the plans may run on it) as scratch.
void filter_row(const WeightingFilter& filter, fftwf_complex* work, int n, float* row, long long t) {
    const int size = filter.fft_size;
    const fftwf_complex* spectrum = filter.filter_spectrum.get();
    // Pad with the row's own mean so that the ends of the row do not see a
    // step down to zero, which the ramp filter would turn into ringing.
    float sum = 0.0f;
    for (int i = 0; i < n; ++i) sum += row[i];
    const float mean = sum / (float)n;
    for (int i = 0; i < n; ++i) {
        work[i][0] = row[i];
        work[i][1] = 0.0f;
    }
    for (int i = n; i < size; ++i) {
        work[i][0] = mean;
        work[i][1] = 0.0f;
    }
    fftwf_execute_dft(filter.plan_forward.get(), work, work);
    if (!filter.tilt_gains.empty()) {
        const float* gain = filter.tilt_gains.data() + (size_t)(t % filter.ntilts) * (size_t)size;
        for (int k = 0; k < size; ++k) scale(work[k], gain[k]);
    } else {
        for (int k = 0; k < size; ++k) {
            const float a = work[k][0], b = work[k][1];
            const float f = spectrum[k][0], g = spectrum[k][1];
            work[k][0] = f * a - g * b;
            work[k][1] = g * a + f * b;
        }
    }
    fftwf_execute_dft(filter.plan_backward.get(), work, work);
    for (int i = 0; i < n; ++i) row[i] = filter.inv_fft_size * work[i][0];
}

void check_row_length(const WeightingFilter& filter, const char* who, int n) {
    if (n < 0 || n > filter.nx) failf("%s: row of %d samples, filter built for %d\n", who, n, filter.nx);
}

}  // namespace

void weighting_filter_row(WeightingFilter& filter, int n, float* row) {
    check_row_length(filter, "weighting_filter_row", n);
    filter_row(filter, filter.work_buffer.get(), n, row, 0);
}

// Rows are independent: the threads share the plans (executing a plan is
// thread-safe in FFTW) and each filters its rows in a scratch buffer of its
// own, taken before the threads start (an error inside them could not reach
// the caller).
void weighting_filter_rows(const WeightingFilter& filter, int n, float* rows, long long count) {
    check_row_length(filter, "weighting_filter_rows", n);
    if (count <= 0) return;
    const int threads = (int)std::min<long long>(omp_get_max_threads(), count);
    std::vector<FftwComplexes> work((size_t)threads);
    for (FftwComplexes& w : work)
        if (!(w = fftw_complexes((size_t)filter.fft_size))) fail("Unable to allocate memory for FFTs\n");
#pragma omp parallel num_threads(threads)
    {
        fftwf_complex* mine = work[(size_t)omp_get_thread_num()].get();
#pragma omp for schedule(static)
        for (long long r = 0; r < count; ++r) filter_row(filter, mine, n, rows + r * n, r);
    }
}

int weighting_fft_size(const WeightingFilter& filter) { return filter.fft_size; }

const float* weighting_filter_spectrum(const WeightingFilter& filter) {
    return filter.tilt_gains.empty() ? &filter.filter_spectrum[0][0] : nullptr;
}
