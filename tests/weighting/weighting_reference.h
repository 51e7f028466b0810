#pragma once
// Independent double-precision evaluation of the weighting filter's spectrum:
// a direct DFT of the spatial ramp kernel, times the taper factor of each element.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

namespace weighting_ref {

constexpr double pi = 3.14159265358979323846;

// cos(2 pi k / n) for k = 0 .. n-1, so that the O(N^2) sums below cost lookups.
inline std::vector<double> cos_table(int n) {
    std::vector<double> t((size_t)n);
    for (int k = 0; k < n; ++k) t[(size_t)k] = std::cos(2.0 * pi * k / n);
    return t;
}

inline double hamming_factor(int k, int n) {
    if (k > n / 2) k = n - k;
    if (k <= n / 4) return 1.0;
    const double w = 0.54 - 0.46 * std::cos(2.0 * pi * k / (n / 2.0));
    return k == n / 2 ? w * w : w;
}

// Cut-off at frequency c (cycles per sample) with a Gaussian fall-off of width s.
inline double radial_factor(int k, int n, double c, double s) {
    const double f = (double)std::min(k, n - k) / n;
    if (f <= c) return 1.0;
    return s == 0 ? 0.0 : std::exp(-(f - c) * (f - c) / (2 * s * s));
}

// Spectrum of the ramp kernel (1/4 at 0, -1/(k pi)^2 at odd |k| < nx, laid out
// circularly on n points), by a direct DFT, real since the kernel is even;
// element m times factor(m, n).
inline std::vector<double> reference_ramp_spectrum(int nx, int n, const std::function<double(int, int)>& factor) {
    const std::vector<double> c = cos_table(n);
    std::vector<double> h((size_t)n);
    for (int m = 0; m < n; ++m) {
        double sum = 0.25;
        for (int k = 1; k < nx; k += 2) sum += 2.0 * (-1.0 / (k * k * pi * pi)) * c[(size_t)(((int64_t)m * k) % n)];
        h[(size_t)m] = sum * factor(m, n);
    }
    return h;
}

// With the Hamming taper, or untapered.
inline std::vector<double> reference_ramp_spectrum(int nx, int n, bool tapered) {
    return reference_ramp_spectrum(nx, n, [tapered](int m, int n) { return tapered ? hamming_factor(m, n) : 1.0; });
}

}  // namespace weighting_ref
