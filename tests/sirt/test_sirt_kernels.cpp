// Each SIRT kernel (the products with one lane) as launched on a backend against its literal per-item form
// run item by item on the host (host_items_1d / host_items_2d), on random data.
// The host backend's fast forms perform the same operations in the same order
// per element, so they must agree bit for bit; a GPU may fuse multiply-adds.
#include <gmock/gmock.h>
#include "support/common.h"

#include "host_simd/host_rows.h"
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

// An interleaved matrix of `rows` rows with random lengths 0 .. max_len
// (a few rows full, so block minima and maxima differ) and zero padding.
// Columns are pixels 0 .. ncol - 1 or, with sinoX > 0, sinogram columns
// t * sinoX + c (0 <= c < sinoX - 1 of ncol / sinoX tilts) with the mirror
// columns t * sinoX + sinoX - 1 - c that the set-up stores beside them.
struct RandomMatrix {
    int rows, stride, max_len;
    std::vector<int> length;
    std::vector<float> weight;
    std::vector<int> column, column2;
};

RandomMatrix random_matrix(std::mt19937& rng, int rows, int max_len, int ncol, int sinoX = 0) {
    RandomMatrix m{rows, sirt_round_up_64(rows), max_len, std::vector<int>(rows), {}, {}, {}};
    m.weight.assign((size_t)m.stride * max_len, 0.0f);
    m.column.assign(m.weight.size(), 0);
    m.column2.assign(m.weight.size(), 0);
    std::uniform_int_distribution<int> len(0, max_len), pixel(0, ncol - 1), pick(0, 3);
    std::uniform_int_distribution<int> tilt(0, sinoX > 0 ? ncol / sinoX - 1 : 0), sample(0, std::max(sinoX - 2, 0));
    std::uniform_real_distribution<float> w(-0.5f, 1.5f);
    for (int r = 0; r < rows; ++r) {
        m.length[r] = pick(rng) == 0 ? max_len : len(rng);
        for (int k = 0; k < m.length[r]; ++k) {
            const size_t e = r + (size_t)k * m.stride;
            m.weight[e] = w(rng);
            if (sinoX > 0) {
                const int t = tilt(rng), c = sample(rng);
                m.column[e] = t * sinoX + c;
                m.column2[e] = t * sinoX + (sinoX - 1 - c);
            } else {
                m.column[e] = pixel(rng);
            }
        }
    }
    return m;
}

// Runs check() once per vector set of the host forms that the processor has on
// the host backend, once on a GPU.
template <class Check>
void for_each_vector_set(Check check) {
    if (gpu_backend() != GPU_BACKEND_HOST) return check();
    for (host_rows::Vectors v : host_rows::kAllVectors) {
        if (!host_rows::use_vectors(v)) continue;
        SCOPED_TRACE(host_rows::vectors_name(v));
        check();
    }
    host_rows::use_widest_vectors();
}

// Transposed rows with bins rising by 1 or 2, so neighbouring rows often share
// an element, also across the fast form's row blocks.
TEST_P(SirtKernels, ForwardProjectionMatchesItems) {
    const int npix = 3000, rows = 2337;
    const RandomMatrix m = random_matrix(rng, rows, 41, npix);
    std::vector<int> bin(rows);
    std::uniform_int_distribution<int> step(1, 2);
    for (int r = 0, b = 0; r < rows; ++r, b += step(rng)) bin[r] = b;
    const size_t nsino = bin.back() + 2;
    const std::vector<float> x = random_floats(rng, npix, -2, 5);

    std::vector<float> literal(nsino, 0.0f);
    const int items = (int)batch_items(rows, 1);
    host_items_1d(launch_shape_1d(items), cu_SIRT_fwproduct_batch{m.weight.data(), x.data(), literal.data(),
                                                                  m.column.data(), m.length.data(), bin.data(),
                                                                  rows, m.stride, 1});

    float *dw = to_device(m.weight), *dx = to_device(x), *dy = to_device(std::vector<float>(nsino, 0.0f));
    int *dc = to_device(m.column), *dl = to_device(m.length), *db = to_device(bin);
    for_each_vector_set([&] {
        gpu_zero(dy, sizeof(float) * nsino);
        gpu_launch_1d(items, cu_SIRT_fwproduct_batch{dw, dx, dy, dc, dl, db, rows, m.stride, 1});
        expect_same(from_device(dy, nsino), literal);
    });
    for (void* p : {(void*)dw, (void*)dx, (void*)dy, (void*)dc, (void*)dl, (void*)db}) gpu_free(p);
}

// Half-slice rows whose mirrors fall inside the matrix (an odd thickness's
// centre row) skip the mirrored update: npix < 2 * rows here.
TEST_P(SirtKernels, BackProjectionMatchesItems) {
    const int rows = 2100, npix = 2 * rows - 70, sinoX = 50, Ntilts = 50, nsino = sinoX * Ntilts;
    const RandomMatrix m = random_matrix(rng, rows, 29, nsino, sinoX);
    std::vector<float> g = random_floats(rng, nsino, -1, 1);
    // Non-finite samples where no entry reads (the last sample of a tilt) must not leak.
    for (int t = 0; t < Ntilts; t += 3) g[(size_t)t * sinoX + sinoX - 1] = std::numeric_limits<float>::infinity();
    const std::vector<float> x0 = random_floats(rng, npix, 0, 3);

    std::vector<float> literal = x0;
    const int items = (int)batch_items(rows, 1);
    host_items_1d(launch_shape_1d(items),
                  cu_SIRT_product_batch{m.weight.data(), literal.data(), g.data(), m.column.data(), m.column2.data(),
                                        m.length.data(), rows, m.stride, npix, 1, Ntilts, sinoX});

    float *dw = to_device(m.weight), *dx = to_device(x0), *dg = to_device(g);
    int *dc = to_device(m.column), *dc2 = to_device(m.column2), *dl = to_device(m.length);
    for_each_vector_set([&] {
        gpu_copy_to_device(dx, x0.data(), sizeof(float) * x0.size());
        gpu_launch_1d(items, cu_SIRT_product_batch{dw, dx, dg, dc, dc2, dl, rows, m.stride, npix, 1, Ntilts, sinoX});
        expect_same(from_device(dx, npix), literal);
    });
    for (void* p : {(void*)dw, (void*)dx, (void*)dg, (void*)dc, (void*)dc2, (void*)dl}) gpu_free(p);
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
