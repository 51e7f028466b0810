// The --sirt-like filter against a direct double-precision evaluation of its
// definition: N steps of the per-frequency iteration x <- x + c (b - lambda x)
// from zero, with lambda = |cos a| / (thickness * ntilts * share * f) taken as 1
// where it passes 1, give H = x / b; the angular shares by hand from the angles.
#include "support/common.h"

#include "support/tilts.h"
#include "weighting/sirt_like_filter.h"
#include "weighting/weighting.h"
#include "weighting/weighting_reference.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegree = kPi / 180.0;

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

// The two limits: one iteration is the back-projection of the rows scaled by
// |cos a| / thickness (a flat gain); many approach the ramp weighted by the
// tilt's share of the angles, ntilts * share * f, wherever lambda < 1.
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
