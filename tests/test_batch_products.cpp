// Batched products against the single-slice products, bit for bit: every WBP
// level and SIRT, batches of 1, 2, 3 and 16 slices, odd and even sizes,
// tilt-symmetric and asymmetric angles, on every backend. On the host, the
// vectorised batch forms also against the literal per-item batch kernels, with
// every vector set.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "gpu/wg.h"
#include "host_simd/host_rows.h"
#include "sirt/sirt.h"
#include "sirt/sirt_batch_kernel.h"
#include "support/backends.h"
#include "wbp/wbp_batch.h"
#include "wbp/wbp_batch_kernel.h"
#include "wbp_levels.h"
#include "wbp_reference.h"

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
    {{-60, -40, -20, 0, 20, 40, 60}, 130, 64},  // several row blocks
};
const int kLanes[] = {1, 2, 3, 16};

void set_up(int method, const std::vector<a>& tilts, const Case& c) {
    const int n = (int)tilts.size();
    testing::internal::CaptureStderr();  // the level-3 fallback warns
    if (method == kSirt) sirt_setup(tilts.data(), c.sinoX, n, c.sinoX, c.thickness, n);
    else wbp_setup_level(method, tilts, c.sinoX, c.sinoX, c.thickness);
    testing::internal::GetCapturedStderr();
}

void release(int method) { method == kSirt ? sirt_free() : wbp_free(); }

void expect_same_bits(const std::vector<float>& want, const std::vector<float>& got) {
    ASSERT_EQ(want.size(), got.size());
    size_t differing = 0, first = 0;
    for (size_t i = 0; i < want.size(); ++i)
        if (std::memcmp(&want[i], &got[i], sizeof(float)) != 0 && differing++ == 0) first = i;
    EXPECT_EQ(differing, 0u) << "first at " << first << ": " << want[first] << " vs " << got[first];
}

class BatchProducts : public testing::TestWithParam<GpuBackend> {};

TEST_P(BatchProducts, EverySliceEqualsItsSingleSliceProduct) {
    USE_BACKEND_OR_SKIP(GetParam());
    uint32_t seed = 1;
    for (int method = 0; method <= kSirt; ++method) {
        for (const Case& c : kCases) {
            const std::vector<a> tilts = tilt_records(c.degrees);
            const int n = (int)tilts.size(), X = c.sinoX, T = c.thickness;
            const size_t sino = (size_t)X * n, npix = (size_t)X * T;
            set_up(method, tilts, c);
            for (int lanes : kLanes) {
                SCOPED_TRACE(testing::Message() << "method " << method << ", " << X << " x " << n << " -> "
                                                << T << ", " << lanes << " lanes");
                const std::vector<float> sinos = wbp_ref::random_values(sino * lanes, ++seed);
                std::vector<float> single(npix * lanes), batch(npix * lanes, 7.0f);
                for (int l = 0; l < lanes; ++l) {
                    if (method == kSirt)
                        sirt_reconstruct_slice(&single[l * npix], &sinos[l * sino], X, n, X, T, 3);
                    else wbp_product_level(method, &single[l * npix], &sinos[l * sino], X, n, X, T);
                }
                if (method == kSirt) sirt_reconstruct_batch(batch.data(), sinos.data(), lanes, X, n, X, T, 3);
                else wbp_product_batch(method, batch.data(), sinos.data(), lanes, X, n, X, T);
                expect_same_bits(single, batch);
            }
            release(method);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, BatchProducts, testing::ValuesIn(test_backends()), backend_param_name);

// Interleaved values of `lanes` random blocks of n floats.
std::vector<float> interleaved(size_t n, int lanes, uint32_t seed) {
    const std::vector<float> v = wbp_ref::random_values(n * lanes, seed);
    std::vector<float> out(n * lanes);
    for (int l = 0; l < lanes; ++l)
        for (size_t e = 0; e < n; ++e) out[e * lanes + l] = v[l * n + e];
    return out;
}

// Runs kernel `make(out)` in its literal per-item form and in its host form on
// two copies of `start` and compares them.
template <class Make>
void expect_forms_agree(int items, const std::vector<float>& start, const Make& make) {
    std::vector<float> literal = start, fast = start;
    host_items_1d(launch_shape_1d(items), make(literal.data()));
    make(fast.data()).host_run(launch_shape_1d(items));
    expect_same_bits(literal, fast);
}

TEST(BatchHostForms, VectorFormsEqualLiteralKernels) {
    gpu_use_backend(GPU_BACKEND_HOST);
    uint32_t seed = 100;
    for (host_rows::Vectors v : host_rows::kAllVectors) {
        if (!host_rows::use_vectors(v)) continue;
        for (int method = 0; method <= kSirt; ++method) {
            for (const Case& c : kCases) {
                const std::vector<a> tilts = tilt_records(c.degrees);
                const int n = (int)tilts.size(), X = c.sinoX, T = c.thickness, npix = X * T;
                set_up(method, tilts, c);
                const int level = method == 3 && d_row1 == nullptr ? 2 : method;
                const int rows = level <= 1 ? npix : X * ((T + 1) / 2);
                const float f = (float)(1.0 / n);
                for (int L : kLanes) {
                    SCOPED_TRACE(testing::Message() << host_rows::vectors_name(v) << ", method " << method << ", "
                                                    << X << " x " << n << " -> " << T << ", " << L << " lanes");
                    const std::vector<float> s = interleaved((size_t)X * n, L, ++seed);
                    const std::vector<float> zero((size_t)npix * L, 0.0f);
                    const int items = (int)batch_items(rows, L);
                    if (level == 0)
                        expect_forms_agree(items, zero, [&](float* o) {
                            return cu_WBP_product_batch0{d_matrix, o, s.data(), d_column, d_length, rows, L, npix};
                        });
                    if (level == 1)
                        expect_forms_agree(items, zero, [&](float* o) {
                            return cu_WBP_productsym1_batch{d_matrix, o, s.data(), d_column, d_length, rows, L,
                                                            npix, f};
                        });
                    if (level == 2)
                        expect_forms_agree(items, zero, [&](float* o) {
                            return cu_WBP_productsym2_batch{d_matrix, o, s.data(), d_column, d_column2, d_length,
                                                            rows, L, npix, f, X, T};
                        });
                    if (level == 3)
                        expect_forms_agree(items, zero, [&](float* o) {
                            return cu_WBP_productsym3_batch{d_matrix, o,    s.data(), d_column, d_column2,
                                                            d_length, d_row1, d_row2, rows,    L,
                                                            npix,     f,    n,        X,       X,
                                                            T};
                        });
                    if (method != kSirt) continue;
                    // SIRT: the back-projection adds into slices, the forward projection into cleared sinograms.
                    const std::vector<float> x = interleaved((size_t)npix, L, ++seed);
                    const int half = sirt_sizes.nRows;
                    expect_forms_agree((int)batch_items(half, L), x, [&](float* o) {
                        return cu_SIRT_product_batch{d_matrix, o,    s.data(), d_column, d_column2,
                                                     d_length, half, sirt_sizes.alignment_n, npix, L};
                    });
                    const std::vector<float> zero_sino(s.size(), 0.0f);  // two adds per bin land on zero
                    expect_forms_agree((int)batch_items(sirt_sizes.nrows, L), zero_sino, [&](float* o) {
                        return cu_SIRT_fwproduct_batch{d_matrix_t, x.data(),         o, d_column_t, d_length_t,
                                                       d_idrow_t,  sirt_sizes.nrows, sirt_sizes.alignment, L};
                    });
                }
                release(method);
            }
        }
    }
    host_rows::use_widest_vectors();
}

}  // namespace
