#include "method/detector_shift.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <omp.h>

#include "io/fail.h"
#include "weighting/fftw_planner.h"

namespace {

// The padding holds the largest shift on both sides plus room for a smooth
// blend between the row's two end values.
int transform_length(int n, double largest_shift) {
    const double needed = n + 2.0 * std::ceil(largest_shift) + 32.0;
    if (needed > (double)(1 << 30)) fail("Unable to allocate memory for FFTs\n");
    int size = 16;
    while (size < needed) size *= 2;
    return size;
}

// Factors e^(2 pi i k s / N) for k = 0 .. N/2, which move the row by s
// samples; the real cosine at N/2, whose mirror is itself.
void fill_phase(float* phase, int size, double s) {
    for (int k = 0; k <= size / 2; ++k) {
        const double angle = 2.0 * M_PI * k * s / size;
        phase[2 * k] = (float)std::cos(angle);
        phase[2 * k + 1] = k == size / 2 ? 0.0f : (float)std::sin(angle);
    }
}

void shift_row(const DetectorShift& d, const float* phase, float* row, float* padded, fftwf_complex* spectrum) {
    const int n = d.n, pad = d.size - n;
    std::copy(row, row + n, padded);
    for (int k = 0; k < pad; ++k) {
        const float w = (float)(0.5 - 0.5 * std::cos(M_PI * (k + 1) / (pad + 1)));
        padded[n + k] = row[n - 1] * (1.0f - w) + row[0] * w;
    }
    fftwf_execute_dft_r2c(d.forward.get(), padded, spectrum);
    for (int k = 0; k <= d.size / 2; ++k) {
        const float re = spectrum[k][0], im = spectrum[k][1], c = phase[2 * k], s = phase[2 * k + 1];
        spectrum[k][0] = re * c - im * s;
        spectrum[k][1] = re * s + im * c;
    }
    fftwf_execute_dft_c2r(d.backward.get(), spectrum, padded);
    const float inv = 1.0f / (float)d.size;
    for (int q = 0; q < n; ++q) row[q] = padded[q] * inv;
}

}  // namespace

DetectorShift detector_shift_setup(const a* tilts, int Ntilts, int sinoX, double axis_offset, double shift_x,
                                   double shift_z) {
    DetectorShift d;
    if ((axis_offset == 0 && shift_x == 0 && shift_z == 0) || Ntilts <= 0) return d;
    d.n = sinoX;
    // Moved further than its length, a row holds nothing but its continuation
    // beyond the ends: the move is taken no further, which keeps the padding small.
    const double limit = sinoX + 16.0;
    for (int t = 0; t < Ntilts; ++t)
        d.shifts.push_back(axis_offset - shift_x * (double)tilts[t].cos_a + shift_z * (double)tilts[t].sin_a);
    double largest = 0;
    for (double s : d.shifts) largest = std::max(largest, std::min(std::fabs(s), limit));
    d.size = transform_length(sinoX, largest);
    const size_t half = (size_t)d.size / 2 + 1;
    d.phase.resize(2 * half * (size_t)Ntilts);
    for (int t = 0; t < Ntilts; ++t)
        fill_phase(d.phase.data() + 2 * half * t, d.size, std::clamp(d.shifts[(size_t)t], -limit, limit));
    const FftwReals in = fftw_reals((size_t)d.size);
    const FftwComplexes out = fftw_complexes(half);
    if (!in || !out) fail("Unable to allocate memory for FFTs\n");
    d.forward = fftw_plan_owned([&] { return fftwf_plan_dft_r2c_1d(d.size, in.get(), out.get(), FFTW_ESTIMATE); });
    d.backward = fftw_plan_owned([&] { return fftwf_plan_dft_c2r_1d(d.size, out.get(), in.get(), FFTW_ESTIMATE); });
    if (!d.forward || !d.backward) fail("Unable to allocate memory for FFTs\n");
    return d;
}

// The plans are shared (executing one is thread-safe in FFTW); each thread has
// its own buffers, aligned as those the plans were made for, taken before the
// threads start (an error inside them could not reach the caller).
void detector_shift_rows(const DetectorShift& d, float* sinos, int count, int Ntilts) {
    if (d.shifts.empty()) return;
    const long long rows = (long long)count * Ntilts;
    if (rows <= 0) return;
    const size_t half = (size_t)d.size / 2 + 1;
    const int threads = (int)std::min<long long>(omp_get_max_threads(), rows);
    std::vector<FftwReals> padded((size_t)threads);
    std::vector<FftwComplexes> spectrum((size_t)threads);
    for (int k = 0; k < threads; ++k) {
        padded[(size_t)k] = fftw_reals((size_t)d.size);
        spectrum[(size_t)k] = fftw_complexes(half);
        if (!padded[(size_t)k] || !spectrum[(size_t)k]) fail("Unable to allocate memory for FFTs\n");
    }
#pragma omp parallel num_threads(threads)
    {
        const size_t mine = (size_t)omp_get_thread_num();
#pragma omp for schedule(static)
        for (long long r = 0; r < rows; ++r)
            shift_row(d, d.phase.data() + 2 * half * (size_t)(r % Ntilts), sinos + r * d.n, padded[mine].get(),
                      spectrum[mine].get());
    }
}

void detector_shift_free(DetectorShift* d) { *d = DetectorShift{}; }
