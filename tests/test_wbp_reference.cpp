// Every WBP level on every backend against the double-precision reference, over a
// table of small geometries and angle sets.
//
// Tolerance: 1e-4 absolute on pixels of magnitude up to about 3 (samples in
// [-1, 1], extrapolated weights up to 2 x factor). Single-precision positions
// are off by at most a few 1e-6 samples here, which moves an interpolated value
// by less than 1e-5; the float sums of at most 2 x 61 terms add a few 1e-7. A
// wrong entry, row or weight moves a pixel by about factor x 1, far above it.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "gpu/gpu_layer.h"
#include "gpu/wg.h"
#include "support/backends.h"
#include "wbp_levels.h"
#include "wbp_reference.h"

namespace {

using wbp_ref::Geometry;
using wbp_ref::Reference;

constexpr double kTolerance = 1e-4;

struct AngleSet {
    const char* name;
    std::vector<float> degrees;
    bool tilt_symmetric;  // angle(N - t) = -angle(t) for 1 <= t < N
};

std::vector<float> steps(float from, float step, int count) {
    std::vector<float> v(count);
    for (int t = 0; t < count; ++t) v[t] = from + step * t;
    return v;
}

const std::vector<AngleSet>& angle_sets() {
    static const std::vector<AngleSet> sets = {
        {"sym6_with_pm90_and_0", {-90, -60, -30, 0, 30, 60}, true},
        {"sym5_odd_count", {10, -60, -25, 25, 60}, true},
        {"sym2", {-40, 0}, true},
        {"asym7", {-60, -38, -17, 5, 21, 44, 58}, false},
        {"pm90_and_0", {-90, 0, 90}, false},
        {"one_tilt_0", {0}, true},
        {"one_tilt_37", {37}, true},
        {"range_61", steps(-60, 2, 61), false},
        {"sym45_full_circle", steps(-90, 4, 45), true},
    };
    return sets;
}

const std::vector<Geometry>& geometries() {
    static const std::vector<Geometry> g = {
        {24, 24, 16},  // even width, even thickness
        {23, 23, 15},  // odd width, odd thickness
        {24, 24, 15},  // even width, odd thickness
        {23, 23, 16},  // odd width, even thickness
        {16, 16, 40},  // thicker than wide: many pixels leave the detector
        {20, 20, 1},   // thickness 1: a single centre row
        {20, 20, 2},   // thickness 2
        {17, 20, 12},  // slice wider than the detector
    };
    return g;
}

void setup_level(int level, const std::vector<a>& tilts, const Geometry& g) {
    wbp_setup_level(level, tilts, g.sinoX, g.reconsX, g.thickness);
}

void product_level(int level, std::vector<float>& slice, const std::vector<float>& sino, const Geometry& g, int n) {
    wbp_product_level(level, slice.data(), sino.data(), g.sinoX, n, g.reconsX, g.thickness);
}

// Fills the device slice with NaN so that a pixel the product never writes shows.
void poison_slice(const Geometry& g) {
    const std::vector<float> nan((size_t)g.reconsX * g.thickness, std::numeric_limits<float>::quiet_NaN());
    gpu_copy_to_device(d_recons, nan.data(), nan.size() * sizeof(float));
}

// Level 3 falls back to level 2 for angles without tilt symmetry.
int effective_level(int level, const AngleSet& set) { return level == 3 && !set.tilt_symmetric ? 2 : level; }

struct Outcome {
    int compared = 0, ambiguous = 0, interior = 0, failures = 0;
};

void check_case(int level, const Geometry& g, const AngleSet& set, uint32_t seed, Outcome& out) {
    const std::vector<a> tilts = tilt_records(set.degrees);
    const int n = (int)tilts.size();
    const std::vector<float> sino = wbp_ref::random_values((size_t)g.sinoX * n, seed);
    setup_level(level, tilts, g);
    poison_slice(g);
    std::vector<float> slice((size_t)g.reconsX * g.thickness);
    product_level(level, slice, sino, g, n);
    wbp_free();

    const Reference ref(g, tilts, sino);
    const int lvl = effective_level(level, set);
    for (int j = 0; j < g.thickness; ++j) {
        for (int i = 0; i < g.reconsX; ++i) {
            const float got = slice[(size_t)j * g.reconsX + i];
            const wbp_ref::Pixel px = ref.level(lvl, i, j);
            if (px.ambiguous) {
                ++out.ambiguous;
                continue;
            }
            ++out.compared;
            const double want = px.sum * ref.factor();
            if (!(std::fabs(got - want) <= kTolerance)) {
                if (++out.failures <= 5)
                    ADD_FAILURE() << "level " << level << " pixel (" << i << ", " << j << "): got " << got
                                  << ", want " << want;
            }
            // Away from the detector ends every level gives the plain average.
            if (ref.interior(i, j)) {
                ++out.interior;
                const double plain = ref.plain(i, j).sum * ref.factor();
                if (!(std::fabs(got - plain) <= kTolerance) && ++out.failures <= 5)
                    ADD_FAILURE() << "level " << level << " interior pixel (" << i << ", " << j << "): got " << got
                                  << ", plain average " << plain;
            }
        }
    }
}

class WbpReference : public testing::TestWithParam<std::tuple<GpuBackend, int>> {};

TEST_P(WbpReference, MatchesDoublePrecisionBackProjection) {
    USE_BACKEND_OR_SKIP(std::get<0>(GetParam()));
    const int level = std::get<1>(GetParam());
    uint32_t seed = 1000u * (uint32_t)level;
    for (const Geometry& g : geometries()) {
        for (const AngleSet& set : angle_sets()) {
            SCOPED_TRACE(testing::Message() << "geometry " << g.sinoX << " x " << g.reconsX << " x " << g.thickness
                                            << ", angles " << set.name);
            Outcome out;
            testing::internal::CaptureStderr();  // level 3 warns about asymmetric angles
            check_case(level, g, set, ++seed, out);
            testing::internal::GetCapturedStderr();
            EXPECT_EQ(out.failures, 0);
            // The comparison must cover most of the slice.
            EXPECT_GE(out.compared, (g.reconsX * g.thickness * 3) / 4);
        }
    }
}

std::string param_name(const testing::TestParamInfo<std::tuple<GpuBackend, int>>& info) {
    return std::string(std::get<0>(info.param) == GPU_BACKEND_CUDA ? "cuda" : "host") + "_level" +
           std::to_string(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(Backends, WbpReference,
                         testing::Combine(testing::ValuesIn(test_backends()), testing::Values(0, 1, 2, 3)),
                         param_name);

}  // namespace
