// The dense reference also settles ray weights and the transposed matrix.
#include <gmock/gmock.h>
#include "support/common.h"
#include <sys/resource.h>

#include "sirt/sirt.h"
#include "sirt/sirt_batch_kernel.h"
#include "sirt/sirt_kernel.h"
#include "sirt/sirt_reference.h"
#include "support/backends.h"
#include "wbp/wbp_reference.h"

using testing::ElementsAreArray;

namespace {

Geometry geometry_of(const SirtProblem& g) {
    return make_geometry(g.sinoX, (int)g.tilts.size(), g.reconsX, g.reconsY);
}

}  // namespace

class Sirt : public SirtBackendTest {
protected:
    std::vector<float> reconstruct(const SirtProblem& p, const std::vector<float>& sino, int iterations) {
        sirt_free(plan);
        plan = sirt_setup(p.tilts.data(), geometry_of(p), kMemoryMb, bound_choices());
        std::vector<float> slice((size_t)p.reconsX * p.reconsY, 7.0f);  // overwritten whole
        sirt_reconstruct(plan, slice.data(), sino.data(), 1, iterations);
        return slice;
    }
};

struct WorkedCase {
    int thickness, iterations;
    std::vector<float> sino, slice;
};

// Odd thicknesses: the centre row takes only its own sums.
TEST_P(Sirt, WorkedExamples) {
    const std::vector<WorkedCase> cases = {
        {2, 1, {2, 4, 6}, {1, 2, 0, 0, 2, 3}}, {2, 2, {2, 4, 6}, {1, 2, 0, 0, 2, 6}},
        {3, 1, {3, 6, 9}, {1, 2, 0, 1, 2, 0, 0, 2, 3}}, {1, 2, {1, 2, 3}, {1, 2, 0}},
        {2, 0, {2, 4, 6}, {0, 0, 0, 0, 0, 0}}, {2, -3, {2, 4, 6}, {0, 0, 0, 0, 0, 0}}};
    for (const WorkedCase& c : cases) {
        EXPECT_THAT(reconstruct({tilt_records({0.0f}), 3, 3, c.thickness}, c.sino, c.iterations),
                    ElementsAreArray(c.slice))
            << c.thickness << " thick, " << c.iterations << " iterations";
        sirt_free(plan);
    }
    EXPECT_THAT(reconstruct({tilt_records({-20.0f, 0.0f, 25.0f}), 1, 1, 4}, {1, 2, 3}, 5), testing::Each(0.0f));
    EXPECT_EQ(plan.sizes.nrows, 1);  // one empty row of bin 0
}

INSTANTIATE_TEST_SUITE_P(Backends, Sirt, testing::ValuesIn(test_backends()), backend_param_name);

struct Refusal {
    float memory_mb;
    int sinoX, reconsX, reconsY, Ntilts, status;
    std::string message;
};

TEST(SirtRefusal, MessageAndStatus) {
    EXPECT_EQ(sirt_setup_required_mb(make_geometry(512, 60, 512, 256)),
              (float)((524288.0 + 245760 + 122880 + 1200 + 15728640 + 31457280 + 262144) / 1048576));
    // The memory check at its boundary is LongOptions.EstimateFiguresAreWhereTheSetUpsRefuse.
    const std::vector<Refusal> cases = {
        {1e6f, 8, 8, 8, 0, 255, "SIRT: the tilt series has no projections to reconstruct from.\n"},
        {1e6f, 46341, 46341, 46341, 1, 255, "SIRT: the slice and tilt series are too large for 32-bit element counts.\n"},
        {1e6f, 8, 8, 0, 3, 255, "SIRT: empty geometry (projection width 8, slice 8 x 0).\n"},
        {1e6f, 30000, 30000, 30000, 3, 255,
         "SIRT: the transposed matrix needs 2700000000 elements, more than 32-bit element counts allow.\n"},
    };
    for (const Refusal& c : cases) {
        const std::vector<a> tilts(std::max(c.Ntilts, 1), tilt_record(0.0f));
        const Geometry g = make_geometry(c.sinoX, c.Ntilts, c.reconsX, c.reconsY);
        const Captured out = capture_exit([&] {
            if (c.memory_mb < 0) (void)sirt_transpose_on_host(tilts.data(), g);
            else (void)sirt_setup(tilts.data(), g, c.memory_mb, bound_choices());
        });
        EXPECT_EQ(out.status, c.status) << c.message;
        EXPECT_EQ(out.err, c.message);
        EXPECT_EQ(out.out, "");
    }
}

#if !defined(__SANITIZE_ADDRESS__)
// A failed host allocation is reported: two 50 Mb images against an address-space limit.
TEST(SirtRefusal, HostMemoryForTransposedMatrix) {
    const std::vector<a> tilts(200, tilt_record(0.0f));
    const Captured out = capture_exit([&] {
        long pages = 0;
        if (FILE* f = fopen("/proc/self/statm", "r")) {
            if (fscanf(f, "%ld", &pages) != 1) pages = 0;
            fclose(f);
        }
        const rlim_t limit = (rlim_t)pages * 4096 + (rlim_t)(24 << 20);
        const rlimit rl{limit, limit};
        setrlimit(RLIMIT_AS, &rl);
        (void)sirt_transpose_on_host(tilts.data(), make_geometry(256, 200, 256, 256));
    });
    EXPECT_EQ(out.status, 255);
    EXPECT_THAT(out.err, testing::StartsWith("SIRT: not enough host memory to build the transposed matrix ("));
}
#endif

namespace {

struct RandomCase {
    const char* name;
    int sinoX, reconsX, reconsY;
    std::vector<float> angles;  // then `tilts` random angles in [lo, hi]
    int tilts;
    float lo, hi;
    int iterations;
};

}  // namespace

// Within 1e-5 of the largest reference pixel over 30 iterations.
TEST_P(Sirt, SliceMatchesTheDenseReference) {
    const std::vector<RandomCase> cases{
        {"EvenEvenSymmetric", 12, 12, 8, angle_range(-60, 60, 15), 0, 0, 0, 1},
        {"OddOddAsymmetric", 13, 13, 7, {}, 7, -70, 50, 5},
        {"ThickerThanWide", 9, 9, 14, {}, 6, -65, 68, 30},
        {"ThicknessOne", 10, 10, 1, {}, 5, -50, 50, 5},
        {"SingleTilt", 11, 11, 6, {23.0f}, 0, 0, 0, 30},
        {"AlongTheBeam", 8, 8, 6, {-30, 0, 90, 40}, 0, 0, 0, 5},  // |cos| = 0 scales its row to 0
        {"WiderDetector", 14, 10, 6, {}, 5, -60, 60, 5},
        {"SixtyOneTilts", 20, 20, 16, angle_range(-60, 60, 2), 0, 0, 0, 30},
        {"OddWidthEvenThickness", 15, 15, 10, {}, 9, -40, 70, 30},
    };
    for (const RandomCase& c : cases) {
        std::mt19937 rng(1234 + c.sinoX * 31 + c.reconsY);
        std::vector<float> deg = c.angles;
        std::uniform_real_distribution<float> angle(c.lo, c.hi), sample(0.0f, 10.0f);
        for (int t = 0; t < c.tilts; ++t) deg.push_back(angle(rng));
        SirtProblem p{tilt_records(deg), c.sinoX, c.reconsX, c.reconsY};
        for (a& r : p.tilts)
            if (r.angle_deg == 90.0f) r.cos_a = 0.0f, r.sin_a = 1.0f;
        std::vector<float> sino((size_t)c.sinoX * p.tilts.size());
        for (float& v : sino) v = sample(rng);
        const std::vector<float> slice = reconstruct(p, sino, c.iterations);
        sirt_free(plan);
        const std::vector<double> ref = sirt_reference(p, sino, c.iterations);
        double scale = 0, worst = 0;
        for (double v : ref) scale = std::max(scale, std::fabs(v));
        for (size_t e = 0; e < ref.size(); ++e) worst = std::max(worst, std::fabs(slice[e] - ref[e]));
        EXPECT_GT(scale, 0.0) << c.name;
        EXPECT_LE(worst, 1e-5 * scale) << c.name << ": largest pixel " << scale;
    }
}

// Bit for bit, since neither side fuses multiply-adds (any NaN matches any NaN).
void expect_same_as_items(const std::vector<float>& actual, const std::vector<float>& literal) {
    ASSERT_EQ(actual.size(), literal.size());
    for (size_t e = 0; e < actual.size(); ++e) {
        const float x = actual[e], y = literal[e];
        const bool same = std::memcmp(&x, &y, sizeof(float)) == 0 || (std::isnan(x) && std::isnan(y));
        ASSERT_TRUE(same) << "element " << e << ": " << x << " vs " << y;
    }
}

// The set-up kernels on a real geometry with an odd thickness.
TEST_P(Sirt, MatrixAndWeightsKernelsMatchItems) {
    const std::vector<a> tilts = tilt_records({-61.0f, -33.5f, -2.0f, 17.0f, 44.0f, 66.0f, 71.0f});
    const int N = 7, X = 37, Y = 23, rows = sirt_half_rows(Y), nRows = rows * X, stride = sirt_round_up_64(nRows);
    const float w_2 = 18.0f, h_2 = 11.0f, r_2 = 18.0f;
    std::vector<float> m((size_t)stride * N, 0.0f), w((size_t)X * N, 0.0f);
    std::vector<int> c(m.size(), 0), c2(m.size(), 0), len(nRows, 0);
    host_items_2d(launch_shape_2d(rows, X), cu_SIRT_matrix{m.data(), c.data(), c2.data(), len.data(), tilts.data(),
                                                           N, X, rows, X, nRows, w_2, r_2, h_2, stride});
    host_items_2d(launch_shape_2d(X, N),
                  cu_SIRT_weights{w.data(), tilts.data(), X, rows, X, N, w_2, r_2, h_2, Y / 2});

    float *dm = to_device(std::vector<float>(m.size(), 0.0f)), *dw = to_device(std::vector<float>(w.size(), 0.0f));
    int *dc = to_device(std::vector<int>(m.size(), 0)), *dc2 = to_device(std::vector<int>(m.size(), 0));
    int* dl = to_device(std::vector<int>(nRows, 0));
    a* dt = to_device(tilts);
    gpu_launch_2d(bound_choices(), rows, X, cu_SIRT_matrix{dm, dc, dc2, dl, dt, N, X, rows, X, nRows, w_2, r_2, h_2, stride});
    gpu_launch_2d(bound_choices(), X, N, cu_SIRT_weights{dw, dt, X, rows, X, N, w_2, r_2, h_2, Y / 2});
    expect_same_as_items(from_device(dm, m.size()), m);
    expect_same_as_items(from_device(dw, w.size()), w);
    EXPECT_EQ(from_device(dc, c.size()), c);
    EXPECT_EQ(from_device(dc2, c2.size()), c2);
    EXPECT_EQ(from_device(dl, len.size()), len);
    for (void* p : {(void*)dm, (void*)dw, (void*)dc, (void*)dc2, (void*)dl, (void*)dt}) gpu_free(p);
}

TEST_P(Sirt, ErrorAndInversionKernelsMatchItems) {
    const int N = 19, S = 45;
    std::vector<float> weights = wbp_ref::random_values((size_t)N * S, 1, 0.1f, 4);
    for (size_t e = 0; e < weights.size(); e += 7) weights[e] = 0.0f;  // unreached samples stay 0
    const std::vector<float> sino = wbp_ref::random_values(weights.size(), 2, -3, 3),
                             proj = wbp_ref::random_values(weights.size(), 3, -3, 3);

    std::vector<float> inv = weights, err = proj;
    host_items_2d(launch_shape_2d(N, S), cu_SIRT_invertweights{inv.data(), N, S, 1.0f / N});
    host_items_2d(launch_shape_2d(N, S), cu_SIRT_comperror_batch{err.data(), sino.data(), inv.data(), N, S, 1});

    float *dinv = to_device(weights), *derr = to_device(proj), *dsino = to_device(sino);
    gpu_launch_2d(bound_choices(), N, S, cu_SIRT_invertweights{dinv, N, S, 1.0f / N});
    gpu_launch_2d(bound_choices(), N, S, cu_SIRT_comperror_batch{derr, dsino, dinv, N, S, 1});
    expect_same_as_items(from_device(dinv, inv.size()), inv);
    expect_same_as_items(from_device(derr, err.size()), err);
    for (void* p : {(void*)dinv, (void*)derr, (void*)dsino}) gpu_free(p);
}
