// N lanes against one lane at a time, bit for bit, every method and backend;
// on the host, the vector forms against the literal per-item kernels.
#include <numeric>
#include <thread>

#include "gpu/batch_staging.h"
#include "gpu/gpu_layer.h"
#include "host_simd/host_forms.h"
#include "gpu/buffers.h"
#include "method/method.h"
#include "wbp/wbp.h"
#include "sirt/sirt.h"
#include "support/backends.h"
#include "support/capture.h"
#include "support/common.h"
#include "support/tilts.h"
#include "wbp/wbp_reference.h"
#include "wbp/wbp_sizes.h"
#include "weighting/weighting.h"

namespace {

constexpr int kSirt = 4;  // method index after the WBP levels 0 .. 3

struct Case {
    std::vector<float> degrees;
    int sinoX, thickness;
};

const std::vector<Case> kCases = {
    {{70, -60, -40, -20, 20, 40, 60}, 33, 20},  // tilt-symmetric, odd count
    {{90, -60, -30, 0, 30, 60}, 40, 25},        // tilt-symmetric, even count, odd thickness
    {{12, -50, -10, 10, 50}, 31, 31},           // asymmetric: level 3 runs level 2
    {{-60, -40, -20, 0, 20, 40, 60}, 130, 150},  // several row blocks, tiles cut short both ways
};
const int kLanes[] = {1, 3, 16, 29};

// With its own weighting filter and the given vector set (unset: the widest);
// `literal`: every kernel in its literal per-item form.
MethodPlan set_up(int method, const std::vector<a>& tilts, const Geometry& g,
                  std::optional<host_rows::Vectors> vectors = {}, bool literal = false) {
    MethodOptions o = method_options(method == kSirt, method % kSirt, 3);
    o.vectors = vectors;
    o.literal_forms = literal;
    testing::internal::CaptureStderr();  // the level-3 fallback warns
    MethodPlan m = plan_method(o, g, tilts.data(), gpu_bound_device());
    testing::internal::GetCapturedStderr();
    return m;
}

MethodPlan set_up(int method, const Case& c, std::optional<host_rows::Vectors> vectors = {}, bool literal = false) {
    const std::vector<a> tilts = tilt_records(c.degrees);
    return set_up(method, tilts, make_geometry(c.sinoX, (int)tilts.size(), c.sinoX, c.thickness), vectors, literal);
}

void expect_same_bits(const std::vector<float>& want, const std::vector<float>& got) {
    ASSERT_EQ(want.size(), got.size());
    size_t differing = 0, first = 0;
    for (size_t i = 0; i < want.size(); ++i)
        if (std::memcmp(&want[i], &got[i], sizeof(float)) != 0 && differing++ == 0) first = i;
    EXPECT_EQ(differing, 0u) << "first at " << first << ": " << want[first] << " vs " << got[first];
}

// Page-locked as in a run, so that a GPU's copies are asynchronous. Poisoned: the
// products alone, with infinite samples 0 and 1 where dead WBP entries point.
std::vector<float> reconstruct(MethodPlan& m, int lanes, int per_pass, uint32_t seed, bool poisoned = false) {
    const size_t sino = (size_t)m.g.sinoX * m.g.Ntilts, npix = (size_t)m.g.reconsX * m.g.reconsY;
    std::vector<float> values = wbp_ref::random_values(sino * lanes, seed);
    for (size_t l = 0; poisoned && l < (size_t)lanes; ++l) {
        values[l * sino] = std::numeric_limits<float>::infinity();
        values[l * sino + 1] = -std::numeric_limits<float>::infinity();
    }
    const HostFloats sinos_owned = gpu_host_floats(sino * lanes), slices_owned = gpu_host_floats(npix * lanes);
    float *sinos = sinos_owned.get(), *slices = slices_owned.get();
    std::copy(values.begin(), values.end(), sinos);
    std::fill(slices, slices + npix * lanes, 7.0f);
    for (int l = 0; l < lanes; l += per_pass) {
        if (!poisoned) execute_weighting(m, sinos + l * sino, per_pass);
        execute_products(m, sinos + l * sino, slices + l * npix, per_pass);
    }
    return std::vector<float>(slices, slices + npix * lanes);
}

class Batches : public testing::TestWithParam<GpuBackend> {};

TEST_P(Batches, OneLaneEqualsNLanes) {
    USE_BACKEND_OR_SKIP(GetParam());
    for (int method = 0; method <= kSirt; ++method)
        for (const Case& c : kCases) {
            MethodPlan m = set_up(method, c);
            for (int lanes : kLanes) {
                SCOPED_TRACE(testing::Message() << "method " << method << ", " << c.sinoX << " x " << m.g.Ntilts
                                                << " -> " << c.thickness << ", " << lanes << " lanes");
                expect_same_bits(reconstruct(m, lanes, 1, lanes), reconstruct(m, lanes, lanes, lanes));
            }
            free(m);
        }
}

INSTANTIATE_TEST_SUITE_P(Backends, Batches, testing::ValuesIn(test_backends()), backend_param_name);

// On a GPU in halves (rounded up), always within the lanes limit.
TEST(SubBatches, CoverEverySliceOnceInOrder) {
    struct Row {
        int count, most;
        bool halves;
        std::vector<int> sizes;
    };
    const Row rows[] = {{1, 64, true, {1}},      {2, 64, true, {1, 1}},      {3, 64, true, {2, 1}},
                        {16, 64, true, {8, 8}},  {16, 64, false, {16}},      {7, 3, false, {3, 3, 1}},
                        {9, 2, true, {2, 2, 2, 2, 1}}, {3, 1, true, {1, 1, 1}}, {0, 4, true, {}}};
    for (const Row& r : rows) {
        std::vector<int> sizes;
        for (const SubBatch& p : sub_batches(r.count, r.most, r.halves)) {
            EXPECT_EQ(p.first, std::accumulate(sizes.begin(), sizes.end(), 0)) << r.count << " slices";
            sizes.push_back(p.lanes);
        }
        EXPECT_EQ(sizes, r.sizes) << r.count << " slices, at most " << r.most << (r.halves ? ", halves" : "");
    }
}

// Poisoned too for WBP: a host form reading dead entries leaks non-finite samples.
std::vector<float> host_batches(int method, const Case& c, bool literal, host_rows::Vectors vectors) {
    MethodPlan m = set_up(method, c, vectors, literal);
    EXPECT_EQ((m.wbp ? m.wbp->host : m.sirt_plan->host).forms->set, vectors);
    std::vector<float> all;
    for (int lanes : kLanes)
        for (bool poisoned : {false, method != kSirt}) {
            const std::vector<float> slices = reconstruct(m, lanes, lanes, 9 + lanes, poisoned);
            all.insert(all.end(), slices.begin(), slices.end());
        }
    free(m);
    return all;
}

TEST(BatchHostForms, VectorFormsEqualLiteralKernels) {
    gpu_use_backend(GPU_BACKEND_HOST);
    for (host_rows::Vectors v : host_rows::kAllVectors) {
        if (!host_rows::host_forms(v)) continue;
        for (int method = 0; method <= kSirt; ++method)
            for (const Case& c : kCases) {
                SCOPED_TRACE(testing::Message() << host_rows::vectors_name(v) << ", method " << method << ", "
                                                << c.sinoX << " x " << c.degrees.size() << " -> " << c.thickness);
                expect_same_bits(host_batches(method, c, true, v), host_batches(method, c, false, v));
            }
    }
}

// Every buffer the set-up fills, read back in entry-major, pixel order.
std::vector<std::vector<float>> built_buffers(int method, const std::vector<a>& tilts, const Geometry& g,
                                              bool literal) {
    MethodPlan m = set_up(method, tilts, g, {}, literal);
    const WbpSizes s = wbp_sizes(m.level_run, g);
    if (!m.sirt_plan) {
        // Tiles for the host forms only, and not at level 3 (entry-major blocks are faster there).
        EXPECT_EQ(m.wbp->tiles.tile_rows > 0, !literal && m.level_run != 3);
    }
    const MethodBuffers& d = m.sirt_plan ? m.sirt_plan->d : m.wbp->d;
    const long long entries = m.sirt_plan ? (long long)m.sirt_plan->sizes.alignment_n * g.Ntilts : s.entries;
    const long long rows = m.sirt_plan ? m.sirt_plan->sizes.nRows : s.nRows;
    auto words = [](const void* p, long long n) {
        std::vector<float> v(p ? n : 0);
        if (!v.empty()) gpu_copy_to_host(v.data(), p, v.size() * sizeof(float));
        return v;
    };
    std::vector<std::vector<float>> all = {words(d.d_matrix, entries), words(d.d_column, entries),
                                           words(d.d_column2, entries), words(d.d_length, rows),
                                           words(d.d_row1, rows),       words(d.d_row2, rows),
                                           words(d.d_weights, (long long)g.sinoX * g.Ntilts)};
    const host_tiles::TileLayout L = m.sirt_plan ? host_tiles::TileLayout{} : m.wbp->tiles;
    if (!m.sirt_plan && L.tile_rows > 0) {
        const wbp_ref::Tiling t = wbp_ref::tiling(L.rows, L.cols, L.tile_rows, L.tile_cols, (int)L.capacity);
        for (int a = 0; a < 4; ++a) {
            const std::vector<float> stored = all[a];
            for (long long r = 0; r < rows; ++r) {
                if (a == 3) all[a][r] = stored[t.pixel[r]];
                for (int k = 0; a < 3 && !stored.empty() && k < L.capacity; ++k)
                    all[a][r + k * rows] = stored[t.at((int)r, k)];
            }
        }
    }
    const host_tiles::TileLayout T = m.sirt_plan ? m.sirt_plan->sizes.tiles : host_tiles::TileLayout{};
    const wbp_ref::Tiling order = T.tile_rows > 0 ? wbp_ref::tiling(T.rows, T.cols, T.tile_rows, T.tile_cols, 1)
                                                  : wbp_ref::Tiling{};
    for (int b = 0; b < 4 && T.tile_rows > 0; ++b) {
        const std::vector<float> stored = all[b];
        const long long per = b < 3 ? g.Ntilts : 1, stride = b < 3 ? m.sirt_plan->sizes.alignment_n : 0;
        for (size_t r = 0; r < order.pixel.size(); ++r)
            for (long long k = 0; k < per; ++k) all[b][r + k * stride] = stored[order.pixel[r] + k * stride];
    }
    free(m);
    return all;
}

// Thick slices, cos < 0, 0 and 90 degrees, near-flat angles, slices wider and
// narrower than the detector, a two-sample detector.
TEST(MatrixHostForms, BuiltMatricesEqualLiteralKernelsWordForWord) {
    gpu_use_backend(GPU_BACKEND_HOST);
    struct Build {
        std::vector<float> degrees;
        int sinoX, reconsX, thickness;
    };
    std::vector<float> range61(61);
    for (int t = 0; t < 61; ++t) range61[t] = -60.0f + 2.0f * t;
    const std::vector<Build> builds = {{range61, 100, 100, 150},
                                       {{-170, -100, 0, 95, 135, 180}, 33, 33, 20},
                                       {{90, -60, -30, 0, 30, 60}, 17, 20, 13},
                                       {{-89.97f, -61, -0.5f, 0.03f, 17, 89.9f}, 37, 50, 23},
                                       {{-89.97f, -61, -0.5f, 0.03f, 17, 89.9f}, 90, 41, 30},
                                       {{-50, 50}, 2, 2, 3}};
    for (const Build& b : builds)
        for (int method = 0; method <= kSirt; ++method) {
            SCOPED_TRACE(testing::Message() << "method " << method << ", " << b.sinoX << " x " << b.degrees.size()
                                            << " -> " << b.reconsX << " x " << b.thickness);
            const std::vector<a> tilts = tilt_records(b.degrees);
            const Geometry g = make_geometry(b.sinoX, (int)tilts.size(), b.reconsX, b.thickness);
            const auto literal = built_buffers(method, tilts, g, true), fast = built_buffers(method, tilts, g, false);
            for (size_t b = 0; b < literal.size(); ++b) expect_same_bits(literal[b], fast[b]);
        }
}

// Plans own their state (on CUDA their streams too): two plans of different
// sizes and methods, live side by side, give on two threads at once the slices
// each gave before the other existed. Threaded set-ups are tests/tsan's.
class Plans : public testing::TestWithParam<GpuBackend> {
  protected:
    void TearDown() override { gpu_use_backend(GPU_BACKEND_HOST); }
};

TEST_P(Plans, TwoPlansOfDifferentSizesInOneProcess) {
    USE_BACKEND_OR_SKIP(GetParam());
    for (const auto& [ma, mb] : {std::pair{2, kSirt}, std::pair{3, 0}, std::pair{kSirt, 1}, std::pair{1, 2}}) {
        SCOPED_TRACE(testing::Message() << "methods " << ma << " and " << mb);
        MethodPlan a = set_up(ma, kCases[0]);
        const std::vector<float> want_a = reconstruct(a, 3, 3, 33);
        MethodPlan b = set_up(mb, kCases[3]);
        const std::vector<float> want_b = reconstruct(b, 5, 5, 55);
        std::vector<float> got_a, got_b;
        std::thread ta([&] { got_a = reconstruct(a, 3, 3, 33); }), tb([&] { got_b = reconstruct(b, 5, 5, 55); });
        ta.join();
        tb.join();
        expect_same_bits(want_a, got_a);
        expect_same_bits(want_b, got_b);
        free(a);
        free(b);
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, Plans, testing::ValuesIn(test_backends()), backend_param_name);

// plan_method, execute_products and free bind the calling thread to the plan's
// device (the host device records its index); a freed plan refuses to execute.
TEST(PlanDevice, ExecuteBindsTheCallingThreadToThePlansDevice) {
    gpu_use_backend(GPU_BACKEND_HOST, 0);
    const std::vector<a> tilts = tilt_records(kCases[0].degrees);
    const Geometry g = make_geometry(kCases[0].sinoX, (int)tilts.size(), kCases[0].sinoX, kCases[0].thickness);
    MethodPlan plan =
        plan_method(method_options(false, 2, 1), g, tilts.data(), GpuDevice{.backend = GPU_BACKEND_HOST, .index = 3});
    EXPECT_EQ(gpu_bound_device().index, 3);
    gpu_use_backend(GPU_BACKEND_HOST, 1);
    int before = -2, after = -2;
    std::thread t([&] {
        before = gpu_bound_device().index;
        std::vector<float> sinos((size_t)g.sinoX * g.Ntilts), slices((size_t)g.reconsX * g.reconsY);
        execute_products(plan, sinos.data(), slices.data(), 1);
        after = gpu_bound_device().index;
    });
    t.join();
    EXPECT_EQ(before, -1);
    EXPECT_EQ(after, 3);
    free(plan);
    EXPECT_EQ(gpu_bound_device().index, 3);
    free(plan);  // again: nothing
    std::vector<float> sinos((size_t)g.sinoX * g.Ntilts), slices((size_t)g.reconsX * g.reconsY);
    const Captured freed = capture_exit([&] { execute_products(plan, sinos.data(), slices.data(), 1); });
    EXPECT_EQ(freed.status, 255);
    EXPECT_EQ(freed.err, "execute: the plan has been freed\n");
    gpu_use_backend(GPU_BACKEND_HOST);
}

// The rows of a batch are weighted on all threads, each exactly as alone.
TEST(BatchWeighting, RowsOnAllThreadsEqualRowsOneByOne) {
    for (int nx : {1, 37, 512}) {
        const WeightingFilterHandle f = weighting_setup(nx, 1);
        const std::vector<float> rows = wbp_ref::random_values((size_t)nx * 61 * 3, nx);
        std::vector<float> alone = rows, together = rows;
        for (size_t r = 0; r < 61 * 3; ++r) weighting_filter_row(*f, nx, &alone[r * nx]);
        weighting_filter_rows(*f, nx, together.data(), 61 * 3);
        expect_same_bits(alone, together);
    }
}

}  // namespace
