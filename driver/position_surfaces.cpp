#include "driver/position_surfaces.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int kBlocks = 8;          // column blocks across X
constexpr int kSmoothRadius = 2;    // 5 x 5 mean first: WBP's streaks are finer than the texture
constexpr int kWindowRadius = 4;    // 9 x 9 local window: wider than the gaps between features
constexpr double kStandsOut = 1.4;  // specimen level at least this many times the background's
constexpr int kGap = 16;            // rows: gaps in the texture bridged
constexpr int kMinRun = 3;          // rows: thinner runs are lines of artefacts, not a specimen

// The band's texture, with noise of equal strength everywhere: rows far out
// in Z are seen by fewer tilts.
std::vector<double> band_deviation(const PreviewBands& p, int band) {
    const double* t = p.band_texture(band);
    std::vector<double> d(t, t + (size_t)p.width * p.thickness);
    for (size_t i = 0; i < d.size(); ++i) d[i] = p.coverage[i] > 0 ? d[i] / std::sqrt((double)p.coverage[i]) : 0.0;
    return d;
}

// Mean over columns x0 .. x1 - 1 and rows j - r .. j + r (clipped) of each row j.
std::vector<double> block_profile(const std::vector<double>& dev, int width, int height, int x0, int x1, int r) {
    std::vector<double> rows((size_t)height, 0.0), profile((size_t)height, 0.0);
    for (int j = 0; j < height; ++j)
        for (int i = x0; i < x1; ++i) rows[(size_t)j] += dev[(size_t)j * width + i] / (x1 - x0);
    for (int j = 0; j < height; ++j) {
        const int j0 = std::max(0, j - r), j1 = std::min(height - 1, j + r);
        for (int k = j0; k <= j1; ++k) profile[(size_t)j] += rows[(size_t)k] / (j1 - j0 + 1);
    }
    return profile;
}

double quantile(std::vector<double> v, double q) {
    const size_t k = std::min(v.size() - 1, (size_t)(q * (double)(v.size() - 1)));
    std::nth_element(v.begin(), v.begin() + (long)k, v.end());
    return v[k];
}

struct Run {
    int first = -1, last = -1;
};

// The longest run of rows at or above the threshold, across gaps of up to
// `gap` rows (the texture is sparse); a speck of dirt is thinner than the slab.
Run longest_run(const std::vector<double>& profile, double threshold, int gap) {
    Run best, now;
    for (int j = 0; j < (int)profile.size(); ++j) {
        if (profile[(size_t)j] < threshold) continue;
        if (now.first < 0 || j - now.last > gap + 1) now.first = j;
        now.last = j;
        if (now.last - now.first > best.last - best.first) best = now;
    }
    return best;
}


// Where the profile crosses the threshold between rows inside and outside (linear).
double crossing(const std::vector<double>& profile, int inside, int outside, double threshold) {
    const double a = profile[(size_t)inside], b = profile[(size_t)outside];
    const double f = a > b ? (a - threshold) / (a - b) : 0.5;
    return inside + (outside - inside) * std::clamp(f, 0.0, 1.0);
}

}  // namespace

void add_texture(const float* slice, int width, int height, TextureScratch* s, double* sum) {
    const size_t n = (size_t)width * height;
    s->smooth.resize(n);
    s->deviation.resize(n);
    local_moments_into(slice, width, height, kSmoothRadius, false, &s->box, s->smooth.data());
    local_moments_into(s->smooth.data(), width, height, kWindowRadius, true, &s->box, s->deviation.data());
    for (size_t i = 0; i < n; ++i) sum[i] += s->deviation[i];
}

void local_moments_into(const float* image, int width, int height, int r, bool deviation, BoxScratch* box,
                        float* out) {
    // Integral images of the values and their squares, in double; row and column 0 are zero.
    const size_t w1 = (size_t)width + 1;
    std::vector<double>&s1 = box->s1, &s2 = box->s2;
    s1.resize(w1 * (height + 1));
    s2.resize(s1.size());
    std::fill(s1.begin(), s1.begin() + (long)w1, 0.0);
    std::fill(s2.begin(), s2.begin() + (long)w1, 0.0);
    for (int j = 0; j < height; ++j) {
        s1[(j + 1) * w1] = s2[(j + 1) * w1] = 0.0;
        for (int i = 0; i < width; ++i) {
            const double v = image[(size_t)j * width + i];
            const size_t at = (j + 1) * w1 + i + 1;
            s1[at] = v + s1[at - 1] + s1[at - w1] - s1[at - w1 - 1];
            s2[at] = v * v + s2[at - 1] + s2[at - w1] - s2[at - w1 - 1];
        }
    }
    for (int j = 0; j < height; ++j) {
        const int j0 = std::max(0, j - r), j1 = std::min(height, j + r + 1);
        for (int i = 0; i < width; ++i) {
            const int i0 = std::max(0, i - r), i1 = std::min(width, i + r + 1);
            auto sum = [&](const std::vector<double>& s) {
                return s[j1 * w1 + i1] - s[j0 * w1 + i1] - s[j1 * w1 + i0] + s[j0 * w1 + i0];
            };
            const double n = (double)(j1 - j0) * (i1 - i0), mean = sum(s1) / n;
            out[(size_t)j * width + i] =
                deviation ? (float)std::sqrt(std::max(0.0, sum(s2) / n - mean * mean)) : (float)mean;
        }
    }
}

SurfaceSearch find_surfaces(const PreviewBands& p) {
    SurfaceSearch found;
    const int blocks = std::min(kBlocks, p.width);
    const double w_2 = 0.5 * (p.width - 1), h_2 = 0.5 * (p.thickness - 1);
    for (int band = 0; band < (int)p.band_y.size(); ++band) {
        const std::vector<double> dev = band_deviation(p, band);
        for (int k = 0; k < blocks; ++k) {
            const int edge = p.width / 16, span = p.width - 2 * edge;
            const int x0 = edge + k * span / blocks, x1 = edge + (k + 1) * span / blocks;
            ++found.blocks;
            const std::vector<double> profile = block_profile(dev, p.width, p.thickness, x0, x1, kWindowRadius);
            // The quietest part of the range is the background; the specimen fills at least a tenth of it.
            const double background = quantile(profile, 0.1), specimen = quantile(profile, 0.9);
            if (!(specimen > kStandsOut * background) || specimen <= 0) continue;
            const double threshold = 0.5 * (background + specimen);
            const Run run = longest_run(profile, threshold, kGap);
            if (run.last - run.first + 1 < kMinRun) continue;
            ++found.with_content;
            if (run.first == 0 || run.last == p.thickness - 1) {
                ++found.clipped;
                continue;
            }
            // Row j sits at z = (j - h_2) * bin; the first rows are the lower z.
            const double lo = crossing(profile, run.first, run.first - 1, threshold);
            const double hi = crossing(profile, run.last, run.last + 1, threshold);
            const double mid = 0.5 * (lo + hi);
            found.points.push_back({(0.5 * (x0 + x1 - 1) - w_2) * p.bin, p.band_y[(size_t)band], (hi - h_2) * p.bin,
                                    (lo - h_2) * p.bin, (mid - h_2) * p.bin});
        }
    }
    return found;
}
