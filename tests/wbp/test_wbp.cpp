// Tolerance 1e-4: float positions move a value by under 1e-5, float sums add a
// few 1e-7; a wrong entry, row or weight moves a pixel by about factor x 1.
#include "support/common.h"

#include "gpu/buffers.h"
#include "gpu/gpu_layer.h"
#include "method/method.h"
#include "support/backends.h"
#include "wbp/wbp.h"
#include "wbp/wbp_sizes.h"
#include "wbp/wbp_reference.h"
#include "weighting/weighting.h"

namespace {

const char kLevel3Warning[] =
    "Warning: symmetry level 3 needs tilt-symmetric angles (angle(Ntilts - t) = -angle(t)); using symmetry level "
    "2\n";

std::vector<float> steps(float from, float step, int count) {
    std::vector<float> v(count);
    for (int t = 0; t < count; ++t) v[t] = from + step * t;
    return v;
}

struct Refusal {
    int level, sinoX, Ntilts, thickness;
    float memory_mb;
    std::string message;
};

}  // namespace

TEST(WbpSizes, MemoryFiguresAndRefusalsBeforeAllocating) {
    // 60 tilts of 512-wide projections, thickness 256.
    const double bytes[4] = {127001776, 64087216, 48096432, 25814192};
    for (int level = 0; level <= 3; ++level)
        EXPECT_EQ(wbp_sizes(level, make_geometry(512, 60, 512, 256)).bytes, bytes[level]) << level;
    EXPECT_EQ(wbp_sizes(0, make_geometry(4096, 61, 4096, 4096)).entries, 2046820352LL);  // still fits

    // The memory check at its boundary is LongOptions.EstimateFiguresAreWhereTheSetUpsRefuse.
    const std::string beyond = " elements, beyond 32-bit";
    const std::string none = "WBP: the tilt series holds no projections; at least one tilt is needed\n";
    const std::vector<Refusal> cases = {
        {0, 4096, 64, 4096, 1e6f,
         "WBP symmetry level 0: the matrix needs 2147483648" + beyond + " element counts; use a higher symmetry "
         "level (-s1)\n"},
        {2, 4096, 256, 4096, 1e6f,
         "WBP symmetry level 2: the matrix needs 2147483648" + beyond + " element counts; use a higher symmetry "
         "level (-s3)\n"},
        {3, 8192, 128, 8192, 1e6f,
         "WBP symmetry level 3: the matrix needs 2181038080" + beyond + " element counts; use a thinner slice or "
         "narrower projections\n"},
        {2, 65536, 4, 32768, 1e6f,
         "WBP: a slice of 65536 x 32768 pixels or a sinogram of 65536 x 4 samples is beyond 32-bit element counts\n"},
        {1, 64, 0, 64, 1e6f, none},
    };
    for (const Refusal& c : cases) {
        // Tilt-symmetric angles (all 0), so that level 3 stays level 3.
        const std::vector<a> tilts = tilt_records(std::vector<float>((size_t)std::max(c.Ntilts, 1), 0.0f));
        const Captured r = capture_exit([&] {
            WbpPlan p =
                wbp_setup(c.level, tilts.data(), make_geometry(c.sinoX, c.Ntilts, c.sinoX, c.thickness), c.memory_mb, bound_choices());
            printf("allocated %d\n", p.d.d_matrix != nullptr);  // reached only if the set-up went ahead
        });
        EXPECT_EQ(r.status, 255) << c.message;
        EXPECT_EQ(r.err, c.message);
        EXPECT_EQ(r.out, "");
    }
}

TEST(WbpTiltSymmetry, RecognisesPairedAngles) {
    const std::vector<std::vector<float>> paired = {
        {-90, -60, -30, 0, 30, 60}, {7, -50, -10, 10, 50}, {33}, {-60, -30, 0.0004f, 30.0009f}};
    const std::vector<std::vector<float>> unpaired = {{-60, -30, 0, 30.002f}, {-60, -30, 0, 30, 60}, {-60, 0, 60}};
    for (const auto& d : paired) EXPECT_TRUE(wbp_tilts_symmetric(tilt_records(d).data(), (int)d.size()));
    for (const auto& d : unpaired) EXPECT_FALSE(wbp_tilts_symmetric(tilt_records(d).data(), (int)d.size()));
}

class WbpMethod : public testing::TestWithParam<GpuBackend> {};

// Unpaired tilts: one warning at set-up, then level 2; the plan weights too.
TEST_P(WbpMethod, Level3FallsBackOnceAtSetUp) {
    USE_BACKEND_OR_SKIP(GetParam());
    const int X = 40, Y = 30;
    for (const auto& [degrees, level_run] : {std::pair{steps(-60, 2, 61), 2}, std::pair{steps(-90, 30, 6), 3}}) {
        const std::vector<a> tilts = tilt_records(degrees);
        const int n = (int)tilts.size();
        const Geometry g = make_geometry(X, n, X, Y);
        const std::vector<float> sino = wbp_ref::random_values((size_t)X * n, 5);
        std::vector<float> sinos = sino, slices((size_t)X * Y * 2);
        sinos.insert(sinos.end(), sino.begin(), sino.end());
        testing::internal::CaptureStderr();
        MethodPlan m = plan_method(method_options(false, 3, 0), g, tilts.data(), gpu_bound_device());
        execute_weighting(m, sinos.data(), 2);
        execute_products(m, sinos.data(), slices.data(), 2);
        free(m);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), level_run == 2 ? kLevel3Warning : "");
        EXPECT_EQ(m.level_run, level_run);
        // Both slices of the batch equal the level's own product of the weighted sinogram.
        std::vector<float> weighted = sino, want((size_t)X * Y);
        const WeightingFilterHandle ramp = weighting_setup(X, n);
        for (int t = 0; t < n; ++t) weighting_filter_row(*ramp, X, weighted.data() + (size_t)t * X);
        EXPECT_EQ(std::vector<float>(sinos.begin(), sinos.begin() + (long)sino.size()), weighted);
        WbpPlan p = wbp_setup(level_run, tilts.data(), g, GpuDevice{}.memory_mb, bound_choices());
        wbp_product(p, want.data(), weighted.data(), 1);
        wbp_free(p);
        EXPECT_EQ(std::vector<float>(slices.begin(), slices.begin() + X * Y), want);
        EXPECT_EQ(std::vector<float>(slices.begin() + X * Y, slices.end()), want);
        EXPECT_EQ(p.d.d_matrix, nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, WbpMethod, testing::ValuesIn(test_backends()), backend_param_name);

namespace {

struct AngleSet {
    const char* name;
    std::vector<float> degrees;
};

struct Outcome {
    int compared = 0, failures = 0;
};

void check_case(int level, const wbp_ref::Geometry& rg, const AngleSet& set, uint32_t seed, Outcome& out) {
    const std::vector<a> tilts = tilt_records(set.degrees);
    const int n = (int)tilts.size();
    const Geometry g = make_geometry(rg.sinoX, n, rg.reconsX, rg.thickness);
    const std::vector<float> sino = wbp_ref::random_values((size_t)g.sinoX * n, seed);
    const int run = wbp_level_to_run(level, tilts.data(), n);
    WbpPlan p = wbp_setup(run, tilts.data(), g, GpuDevice{}.memory_mb, bound_choices());
    // NaN shows a pixel never written (the host writes the caller's slice).
    std::vector<float> slice((size_t)g.reconsX * g.reconsY, std::numeric_limits<float>::quiet_NaN());
    wbp_product(p, slice.data(), sino.data(), 1);
    wbp_free(p);

    const wbp_ref::Reference ref(rg, tilts, sino);
    for (int j = 0; j < g.reconsY; ++j)
        for (int i = 0; i < g.reconsX; ++i) {
            const float got = slice[(size_t)j * g.reconsX + i];
            const wbp_ref::Pixel px = ref.level(run, i, j);
            if (px.ambiguous) continue;
            ++out.compared;
            const double want = px.sum * ref.factor();
            if (!(std::fabs(got - want) <= 1e-4) && ++out.failures <= 5)
                ADD_FAILURE() << "level " << level << " pixel (" << i << ", " << j << "): got " << got << ", want "
                              << want;
            // Away from the detector ends every level gives the plain average.
            const double plain = ref.plain(i, j).sum * ref.factor();
            if (ref.interior(i, j) && !(std::fabs(got - plain) <= 1e-4) && ++out.failures <= 5)
                ADD_FAILURE() << "level " << level << " interior pixel (" << i << ", " << j << "): got " << got
                              << ", plain average " << plain;
        }
}

}  // namespace

class WbpReference : public testing::TestWithParam<std::tuple<GpuBackend, int>> {};

TEST_P(WbpReference, MatchesDoublePrecisionBackProjection) {
    USE_BACKEND_OR_SKIP(std::get<0>(GetParam()));
    const int level = std::get<1>(GetParam());
    const std::vector<AngleSet> sets = {
        {"sym6_with_pm90_and_0", {-90, -60, -30, 0, 30, 60}},
        {"sym5_odd_count", {10, -60, -25, 25, 60}},
        {"asym7", {-60, -38, -17, 5, 21, 44, 58}},
        {"pm90_and_0", {-90, 0, 90}},
        {"one_tilt_37", {37}},
        {"range_61", steps(-60, 2, 61)},
        {"sym45_full_circle", steps(-90, 4, 45)},
    };
    const std::vector<wbp_ref::Geometry> geometries = {{24, 24, 16}, {23, 23, 15}, {24, 24, 15}, {23, 23, 16},
                                                       {16, 16, 40}, {20, 20, 1},  {20, 20, 2},  {17, 20, 12}};
    uint32_t seed = 1000u * (uint32_t)level;
    for (const wbp_ref::Geometry& g : geometries)
        for (const AngleSet& set : sets) {
            SCOPED_TRACE(testing::Message() << g.sinoX << " x " << g.reconsX << " x " << g.thickness << ", "
                                            << set.name);
            Outcome out;
            testing::internal::CaptureStderr();  // level 3 warns about asymmetric angles
            check_case(level, g, set, ++seed, out);
            testing::internal::GetCapturedStderr();
            EXPECT_EQ(out.failures, 0);
            EXPECT_GE(out.compared, (g.reconsX * g.thickness * 3) / 4);  // most of the slice compared
        }
}

INSTANTIATE_TEST_SUITE_P(Backends, WbpReference,
                         testing::Combine(testing::ValuesIn(test_backends()), testing::Values(0, 1, 2, 3)),
                         [](const testing::TestParamInfo<std::tuple<GpuBackend, int>>& info) {
                             return std::string(std::get<0>(info.param) == GPU_BACKEND_CUDA ? "cuda" : "host") +
                                    "_level" + std::to_string(std::get<1>(info.param));
                         });
