// The radial taper of the weighting filter against the direct double-precision
// DFT of the ramp kernel times the taper.
#include "support/common.h"

#include "weighting/weighting.h"
#include "weighting/weighting_reference.h"

TEST(WeightingRadial, MatchesDirectDftOfRampKernelTimesTaper) {
    const struct {
        int nx;
        RadialTaper taper;
    } cases[] = {
        {100, {0.5, 0}},  // keeps the untapered ramp
        {461, {0.5, 0}},     {100, {0.25, 0.05}}, {512, {0.1, 0}},
        {461, {0.3, 1e-3}},  {5, {0.2, 0.1}},     {512, {0.01, 1e-200}},
    };
    for (const auto& c : cases) {
        const WeightingFilterHandle f = weighting_setup(c.nx, 61, &c.taper);
        const int n = weighting_fft_size(*f);
        const float* s = weighting_filter_spectrum(*f);
        const std::vector<double> want = weighting_ref::reference_ramp_spectrum(
            c.nx, n, [&](int m, int n) { return weighting_ref::radial_factor(m, n, c.taper.cutoff, c.taper.sigma); });
        // Single-precision FFT round-off, as for the Hamming-tapered spectrum.
        const double tol = std::numeric_limits<float>::epsilon() * std::log2((double)n) * 0.5;
        double worst = 0;
        for (int k = 0; k < n; ++k)
            worst = std::max({worst, std::fabs(s[2 * k] - want[(size_t)k]), std::fabs((double)s[2 * k + 1])});
        EXPECT_LE(worst, tol) << "nx " << c.nx << " cutoff " << c.taper.cutoff << " sigma " << c.taper.sigma;
    }
}
