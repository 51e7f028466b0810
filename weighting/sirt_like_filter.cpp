#include "weighting/sirt_like_filter.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace {

constexpr double pi = 3.14159265358979323846;

double radians(const a& tilt) { return (double)tilt.angle_deg * (pi / 180.0); }

// (1 - (1 - lambda)^N) / lambda for 0 < lambda <= 1, accurate for small lambda.
double iteration_window(double lambda, int iterations) {
    return -std::expm1((double)iterations * std::log1p(-lambda)) / lambda;
}

}  // namespace

std::vector<double> sirt_like_angle_shares(const a* tilts, int ntilts) {
    std::vector<double> shares((size_t)std::max(ntilts, 0));
    std::vector<int> order(shares.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int i, int j) { return radians(tilts[i]) < radians(tilts[j]); });
    // Groups of equal angles, in order; each gets half of both gaps to its neighbours.
    size_t first = 0;
    while (first < order.size()) {
        size_t last = first;
        const double angle = radians(tilts[order[first]]);
        while (last + 1 < order.size() && radians(tilts[order[last + 1]]) == angle) ++last;
        const double below = first > 0 ? angle - radians(tilts[order[first - 1]]) : -1.0;
        const double above = last + 1 < order.size() ? radians(tilts[order[last + 1]]) - angle : -1.0;
        double share = pi;
        if (below >= 0 && above >= 0)
            share = 0.5 * (below + above);
        else if (below >= 0 || above >= 0)
            share = std::max(below, above);
        for (size_t i = first; i <= last; ++i) shares[(size_t)order[i]] = share / (double)(last - first + 1);
        first = last + 1;
    }
    return shares;
}

double sirt_like_gain(double f, double cos_a, double share, int thickness, int ntilts, int iterations) {
    const double c = std::fabs(cos_a) / (double)thickness;
    const double denominator = (double)ntilts * share * std::fabs(f);
    // The low frequencies, and a tilt at 90 degrees, whose rays never cross the slab.
    if (c >= denominator) return c;
    if (c == 0.0) return 0.0;
    return c * iteration_window(c / denominator, iterations);
}

std::vector<float> sirt_like_gains(const a* tilts, int ntilts, int thickness, int fft_size, int iterations,
                                   const RadialTaper* radial) {
    const std::vector<double> shares = sirt_like_angle_shares(tilts, ntilts);
    std::vector<float> gains((size_t)ntilts * (size_t)fft_size);
    const int half = fft_size / 2;
    std::vector<double> row((size_t)half + 1);
    for (int t = 0; t < ntilts; ++t) {
        for (int k = 0; k <= half; ++k) {
            const double f = (double)k / (double)fft_size;
            row[(size_t)k] = sirt_like_gain(f, tilts[t].cos_a, shares[(size_t)t], thickness, ntilts, iterations);
            if (radial) row[(size_t)k] *= radial_taper_factor(k, fft_size, *radial);
        }
        float* out = gains.data() + (size_t)t * (size_t)fft_size;
        for (int k = 0; k < fft_size; ++k) out[k] = (float)row[(size_t)std::min(k, fft_size - k)];
    }
    return gains;
}
