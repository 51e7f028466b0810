// The ramp filter against direct double-precision DFTs and convolutions.
#include "support/common.h"

#include "support/tilts.h"
#include "wbp/wbp_reference.h"
#include "weighting/sirt_like_filter.h"
#include "weighting/weighting.h"
#include "weighting/weighting_reference.h"

namespace {

constexpr double float_eps = std::numeric_limits<float>::epsilon();
using namespace weighting_ref;

// A spectrum back in space: h[j] = 1/n sum_m H[m] cos(2 pi m j / n).
template <class Spectrum>
std::vector<double> kernel_of(const Spectrum& spectrum, int n) {
    const std::vector<double> c = cos_table(n);
    std::vector<double> h((size_t)n);
    for (int j = 0; j < n; ++j) {
        double sum = 0;
        for (int m = 0; m < n; ++m) sum += spectrum[(size_t)m] * c[(size_t)(((int64_t)m * j) % n)];
        h[(size_t)j] = sum / n;
    }
    return h;
}

// Row padded with its mean to n samples, circularly convolved with the kernel.
std::vector<double> reference_filter_row(const std::vector<float>& row, const std::vector<double>& kernel) {
    const int nx = (int)row.size(), n = (int)kernel.size();
    double mean = 0;
    for (float v : row) mean += v;
    mean /= nx;
    std::vector<double> padded((size_t)n, mean);
    std::copy(row.begin(), row.end(), padded.begin());
    std::vector<double> out((size_t)nx);
    for (int i = 0; i < nx; ++i) {
        double sum = 0;
        for (int j = 0; j < n; ++j) sum += padded[(size_t)j] * kernel[(size_t)((i - j + n) % n)];
        out[(size_t)i] = sum;
    }
    return out;
}

}  // namespace

TEST(WeightingFftSize, FollowsTheTransformLengthRule) {
    const int cases[][2] = {{1, 4},       {3, 8},       {460, 1024}, {461, 2048}, {1843, 4096},
                            {1844, 8192}, {(1 << 28) + 1, 1 << 30},  {1 << 29, 0}, {std::numeric_limits<int>::max(), 0}};
    for (const auto& c : cases) EXPECT_EQ(weighting_choose_fft_size(c[0]), c[1]) << "nx " << c[0];
    for (int p = 1; p <= 1 << 27; p *= 2) EXPECT_EQ(weighting_choose_fft_size(p), 4 * p) << "nx " << p;
}

// The Hamming-tapered ramp, or with a radial taper (cutoff > 0) the ramp times it.
TEST(Weighting, SpectrumMatchesADirectDftOfTheTaperedRampKernel) {
    const struct {
        int nx;
        RadialTaper taper;
    } cases[] = {{1, {}},         {5, {}},          {100, {}},          {461, {}},        {100, {0.5, 0}},
                 {461, {0.5, 0}}, {100, {0.25, 0.05}}, {512, {0.1, 0}}, {461, {0.3, 1e-3}}, {5, {0.2, 0.1}},
                 {512, {0.01, 1e-200}}};
    for (const auto& c : cases) {
        const bool radial = c.taper.cutoff > 0;
        const WeightingFilterHandle f = weighting_setup(c.nx, 61, radial ? &c.taper : nullptr);
        const int n = weighting_fft_size(*f);
        ASSERT_EQ(n, weighting_choose_fft_size(c.nx));
        const float* s = weighting_filter_spectrum(*f);
        const std::vector<double> plain = reference_ramp_spectrum(c.nx, n, false);
        const std::vector<double> want = radial ? reference_ramp_spectrum(c.nx, n, [&](int m, int n) {
            return radial_factor(m, n, c.taper.cutoff, c.taper.sigma);
        }) : reference_ramp_spectrum(c.nx, n, true);
        // FFT round-off: eps * log2(N) times the kernel's l1 norm (below 0.5).
        double worst = 0;
        for (int k = 0; k < n; ++k)
            worst = std::max({worst, std::fabs(s[2 * k] - want[(size_t)k]), std::fabs((double)s[2 * k + 1])});
        EXPECT_LE(worst, float_eps * std::log2((double)n) * 0.5) << "nx " << c.nx << " cutoff " << c.taper.cutoff;
        if (radial) continue;
        // Hamming: 1 up to N/4, 0.08 squared at N/2, over the ramp |f| in cycles per sample.
        EXPECT_NEAR(s[2 * (n / 2)] / plain[(size_t)(n / 2)], 0.0064, 1e-5);
        EXPECT_NEAR(s[2 * (n / 4)] / plain[(size_t)(n / 4)], 1.0, 1e-5);
        if (c.nx >= 100) {
            EXPECT_NEAR(plain[(size_t)(n / 4)], 0.25, 1e-3);
        }
    }
}

// Large offsets catch zero padding (a step at both ends); with per-tilt gains
// row r of a batch belongs to tilt r % ntilts.
TEST(Weighting, RowsMatchCircularConvolutionOfTheMeanPaddedRow) {
    const struct {
        int nx;
        float offset, spread;
        bool gains;
    } cases[] = {{1, 2, 1, false},     {7, 0, 1, false},    {100, 1000, 1, false},
                 {461, 250, 5, false}, {512, 0, 1000, false}, {50, 20, 5, true}};
    constexpr int ntilts = 3, count = 2 * ntilts;
    for (const auto& c : cases) {
        const int n = weighting_choose_fft_size(c.nx);
        std::mt19937 rng(7);
        std::uniform_real_distribution<float> u(0.0f, 2.0f);
        std::vector<float> gains((size_t)ntilts * n);
        std::vector<std::vector<double>> kernels;
        for (int t = 0; t < ntilts; ++t) {
            float* g = gains.data() + (size_t)t * n;
            for (int k = 0; k <= n / 2; ++k) g[k] = g[(n - k) % n] = u(rng);
            if (c.gains) kernels.push_back(kernel_of(g, n));
        }
        if (!c.gains) kernels.assign(ntilts, kernel_of(reference_ramp_spectrum(c.nx, n, true), n));
        const WeightingFilterHandle f = c.gains ? weighting_setup_gains(c.nx, ntilts, gains) : weighting_setup(c.nx, ntilts);
        ASSERT_EQ(weighting_fft_size(*f), n);
        EXPECT_EQ(weighting_filter_spectrum(*f) == nullptr, c.gains);
        std::vector<float> rows;
        for (int r = 0; r < count; ++r) {
            const std::vector<float> row =
                wbp_ref::random_values(c.nx, 300u + (unsigned)r, c.offset - c.spread, c.offset + c.spread);
            rows.insert(rows.end(), row.begin(), row.end());
        }
        const std::vector<float> original = rows;
        weighting_filter_rows(*f, c.nx, rows.data(), count);
        // eps * log2(N) of the largest sample per FFT pass, one eps for the product and the 1/N.
        const double tol = float_eps * (2 * std::log2((double)n) + 2) * (std::fabs(c.offset) + c.spread) * (c.gains ? 2 : 1);
        for (int r = 0; r < count; ++r) {
            const std::vector<float> row(original.begin() + r * c.nx, original.begin() + (r + 1) * c.nx);
            const std::vector<double> want = reference_filter_row(row, kernels[(size_t)(r % ntilts)]);
            double worst = 0;
            for (int i = 0; i < c.nx; ++i) worst = std::max(worst, std::fabs(rows[(size_t)(r * c.nx + i)] - want[(size_t)i]));
            EXPECT_LE(worst, tol) << "nx " << c.nx << " row " << r;
        }
        // A row alone is tilt 0.
        std::vector<float> alone(original.begin(), original.begin() + c.nx);
        weighting_filter_row(*f, c.nx, alone.data());
        EXPECT_EQ(std::memcmp(alone.data(), rows.data(), (size_t)c.nx * sizeof(float)), 0) << c.nx;
    }
}

TEST(WeightingErrors, ReportAndExit) {
    struct Case {
        std::function<void()> run;
        const char* message;
    };
    const Case cases[] = {
        {[] { weighting_setup(1 << 29, 1); }, "Unable to allocate memory for FFTs\n"},
        {[] { weighting_check_row_length(1 << 29); }, "Unable to allocate memory for FFTs\n"},
        {[] { weighting_filter_row(*weighting_setup(4, 1), 5, std::vector<float>(5).data()); },
         "weighting_filter_row: row of 5 samples, filter built for 4\n"},
        {[] { weighting_filter_rows(*weighting_setup(4, 1), 6, std::vector<float>(12).data(), 2); },
         "weighting_filter_rows: row of 6 samples, filter built for 4\n"},
        {[] { weighting_setup_gains(4, 2, std::vector<float>(16)); },
         "weighting_setup_gains: 16 gains for 2 tilts of 16 samples\n"},
        {[] { weighting_setup_gains(4, 0, {}); }, "weighting_setup_gains: 0 gains for 0 tilts of 16 samples\n"},
    };
    for (const Case& c : cases) {
        const Captured got = capture_exit(c.run);
        EXPECT_EQ(got.status, 255) << c.message;
        EXPECT_EQ(got.err, c.message);
    }
}

// --sirt-like: N steps of x <- x + c (b - lambda x) from zero per frequency, with
// lambda = |cos a| / (thickness * ntilts * share * f) at most 1, give H = x / b.
namespace {

constexpr double kDegree = weighting_ref::pi / 180.0;

// The gain by running the iteration itself, step by step.
double iterated_gain(double f, double cos_a, double share, int thickness, int ntilts, int iterations) {
    const double c = std::fabs(cos_a) / thickness;
    const double lambda = f == 0 ? 1.0 : std::min(1.0, c / (ntilts * share * f));
    double x = 0;
    for (int i = 0; i < iterations; ++i) x += c * (1.0 - lambda * x / c);
    return x;
}

}  // namespace

TEST(SirtLikeFilter, AngleSharesAreHalfTheGapsToTheNeighbours) {
    const struct {
        std::vector<float> degrees;
        std::vector<double> shares;  // degrees
    } cases[] = {
        {{-60, -58, -56, -54}, {2, 2, 2, 2}},
        {{10, -20, 0, 40}, {20, 20, 15, 30}},           // unsorted
        {{-10, 0, 0, 10, 30}, {10, 5, 5, 15, 20}},      // a repeated angle splits its share
        {{-3, -3}, {90, 90}},                           // one angle: pi among them
        {{25}, {180}},
        {{-60, 60}, {120, 120}},
    };
    for (const auto& c : cases) {
        const std::vector<a> tilts = tilt_records(c.degrees);
        const std::vector<double> got = sirt_like_angle_shares(tilts.data(), (int)tilts.size());
        ASSERT_EQ(got.size(), c.shares.size());
        for (size_t t = 0; t < got.size(); ++t)
            EXPECT_NEAR(got[t], c.shares[t] * kDegree, 1e-6) << c.degrees[0] << " tilt " << t;
    }
}

TEST(SirtLikeFilter, GainsFollowTheIteratedDefinition) {
    const struct {
        std::vector<float> degrees;
        int thickness, fft_size, iterations;
        bool radial;
    } cases[] = {
        {{-60, -40, -20, 0, 20, 40, 60}, 8, 32, 10, false},
        {{-60, -40, -20, 0, 20, 40, 60}, 8, 32, 1, false},
        {{-45, -30, 0, 15, 45}, 20, 64, 30, false},
        {{-70, -35, 0, 35, 70}, 3, 16, 200, true},
        {{-90, 0, 90}, 5, 16, 7, false},  // 90 degrees: rays parallel to the slab
    };
    const RadialTaper taper{0.2, 0.05};
    for (const auto& c : cases) {
        const int nt = (int)c.degrees.size(), n = c.fft_size;
        const std::vector<a> tilts = tilt_records(c.degrees);
        const std::vector<double> shares = sirt_like_angle_shares(tilts.data(), nt);
        const std::vector<float> gains =
            sirt_like_gains(tilts.data(), nt, c.thickness, n, c.iterations, c.radial ? &taper : nullptr);
        ASSERT_EQ(gains.size(), (size_t)nt * n);
        for (int t = 0; t < nt; ++t)
            for (int k = 0; k < n; ++k) {
                const double f = (double)std::min(k, n - k) / n;
                double want = iterated_gain(f, tilts[t].cos_a, shares[t], c.thickness, nt, c.iterations);
                if (c.radial) want *= weighting_ref::radial_factor(k, n, taper.cutoff, taper.sigma);
                EXPECT_NEAR(gains[(size_t)t * n + k], want, 1e-6 * std::fabs(want) + 1e-12)
                    << "N " << c.iterations << " tilt " << t << " element " << k;
            }
    }
}

// One iteration is the flat gain |cos a| / thickness; many approach the ramp
// ntilts * share * f wherever lambda < 1.
TEST(SirtLikeFilter, OneIterationIsFlatAndManyApproachTheWeightedRamp) {
    const std::vector<a> tilts = tilt_records({-50, -25, 0, 25, 50});
    const int nt = 5, n = 64, thickness = 16;
    const std::vector<double> shares = sirt_like_angle_shares(tilts.data(), nt);
    const std::vector<float> one = sirt_like_gains(tilts.data(), nt, thickness, n, 1, nullptr);
    const std::vector<float> many = sirt_like_gains(tilts.data(), nt, thickness, n, 1000000, nullptr);
    for (int t = 0; t < nt; ++t)
        for (int k = 0; k < n; ++k) {
            const double c = std::fabs((double)tilts[t].cos_a) / thickness, f = (double)std::min(k, n - k) / n;
            EXPECT_NEAR(one[(size_t)t * n + k], c, 1e-7 * c) << t << " " << k;
            const double ramp = nt * shares[t] * f;
            EXPECT_NEAR(many[(size_t)t * n + k], std::max(ramp, c), 1e-6 * ramp) << t << " " << k;
        }
}
