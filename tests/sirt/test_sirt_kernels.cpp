// SIRT's set-up and error kernels as launched on a backend against their
// literal per-item forms run item by item on the host (host_items_2d). The
// host backend's fast forms perform the same operations in the same order per
// element, so they must agree bit for bit; a GPU may fuse multiply-adds. (The
// products are checked through the plans: BatchHostForms, Sirt.)
#include "support/common.h"

#include "sirt/sirt.h"
#include "sirt/sirt_batch_kernel.h"
#include "sirt/sirt_reference.h"
#include "support/backends.h"

namespace {

class SirtKernels : public testing::TestWithParam<GpuBackend> {
protected:
    void SetUp() override { USE_BACKEND_OR_SKIP(GetParam()); }
    void expect_same(const std::vector<float>& actual, const std::vector<float>& literal) const {
        ASSERT_EQ(actual.size(), literal.size());
        for (size_t e = 0; e < actual.size(); ++e) {
            // Non-finite values match by identity (|inf - inf| is NaN, never within a tolerance).
            const bool same = std::memcmp(&actual[e], &literal[e], sizeof(float)) == 0 ||
                              (GetParam() == GPU_BACKEND_CUDA &&
                               (std::isfinite(literal[e])
                                    ? std::fabs(actual[e] - literal[e]) <= 1e-5f * (1.0f + std::fabs(literal[e]))
                                    : std::isnan(literal[e]) && std::isnan(actual[e])));
            ASSERT_TRUE(same) << "element " << e << ": " << actual[e] << " vs " << literal[e];
        }
    }
    std::mt19937 rng{2024};
};

std::vector<float> random_floats(std::mt19937& rng, size_t n, float lo, float hi) {
    std::uniform_real_distribution<float> d(lo, hi);
    std::vector<float> v(n);
    for (float& x : v) x = d(rng);
    return v;
}

// The set-up kernels on a real geometry with an odd thickness.
TEST_P(SirtKernels, MatrixAndWeightsMatchItems) {
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
    gpu_launch_2d(rows, X, cu_SIRT_matrix{dm, dc, dc2, dl, dt, N, X, rows, X, nRows, w_2, r_2, h_2, stride});
    gpu_launch_2d(X, N, cu_SIRT_weights{dw, dt, X, rows, X, N, w_2, r_2, h_2, Y / 2});
    expect_same(from_device(dm, m.size()), m);
    expect_same(from_device(dw, w.size()), w);
    EXPECT_EQ(from_device(dc, c.size()), c);
    EXPECT_EQ(from_device(dc2, c2.size()), c2);
    EXPECT_EQ(from_device(dl, len.size()), len);
    for (void* p : {(void*)dm, (void*)dw, (void*)dc, (void*)dc2, (void*)dl, (void*)dt}) gpu_free(p);
}

TEST_P(SirtKernels, ErrorAndInversionMatchItems) {
    const int N = 19, S = 45;
    std::vector<float> weights = random_floats(rng, (size_t)N * S, 0.1f, 4);
    for (size_t e = 0; e < weights.size(); e += 7) weights[e] = 0.0f;  // unreached samples stay 0
    const std::vector<float> sino = random_floats(rng, weights.size(), -3, 3);
    const std::vector<float> proj = random_floats(rng, weights.size(), -3, 3);

    std::vector<float> inv = weights, err = proj;
    host_items_2d(launch_shape_2d(N, S), cu_SIRT_invertweights{inv.data(), N, S, 1.0f / N});
    host_items_2d(launch_shape_2d(N, S), cu_SIRT_comperror_batch{err.data(), sino.data(), inv.data(), N, S, 1});

    float *dinv = to_device(weights), *derr = to_device(proj), *dsino = to_device(sino);
    gpu_launch_2d(N, S, cu_SIRT_invertweights{dinv, N, S, 1.0f / N});
    gpu_launch_2d(N, S, cu_SIRT_comperror_batch{derr, dsino, dinv, N, S, 1});
    expect_same(from_device(dinv, inv.size()), inv);
    expect_same(from_device(derr, err.size()), err);
    for (void* p : {(void*)dinv, (void*)derr, (void*)dsino}) gpu_free(p);
}

INSTANTIATE_TEST_SUITE_P(Backends, SirtKernels, testing::ValuesIn(test_backends()), backend_param_name);

}  // namespace
