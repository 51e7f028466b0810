// SIRT set-up: the half-slice matrix, the ray weights and their inversion, the
// transposed matrix, the memory checks and the refusals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <ostream>
#include <random>
#include <string>
#include <utility>

#include "sirt/sirt.h"
#include "sirt/sirt_kernel.h"
#include "gpu/wg.h"
#include "sirt_reference.h"
#include "support/backends.h"

namespace {

class SirtSetup : public SirtBackendTest {
protected:
};

// Ray weights before inversion, from a fresh run of the weight kernel.
std::vector<float> raw_weights(int sinoX, int reconsX, int reconsY, int Ntilts) {
    float* w = static_cast<float*>(gpu_alloc(4 * (size_t)sinoX * Ntilts));
    gpu_zero(w, 4 * (size_t)sinoX * Ntilts);
    gpu_launch_2d(sinoX, Ntilts, cu_SIRT_weights{w, d_tangles, reconsX, sirt_half_rows(reconsY), sinoX, Ntilts,
                                                 (reconsX - 1) * 0.5f, (sinoX - 1) * 0.5f, (reconsY - 1) * 0.5f,
                                                 reconsY / 2});
    std::vector<float> v = from_device(w, (size_t)sinoX * Ntilts);
    gpu_free(w);
    return v;
}

using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::FloatEq;

// One tilt at 0 degrees, width 3, thickness 2.
TEST_P(SirtSetup, WorkedExampleMatricesAndWeights) {
    const std::vector<a> tilts = tilt_records({0.0f});
    sirt_setup(tilts.data(), 3, 1, 3, 2, 1);

    EXPECT_EQ(sirt_sizes.nRows, 3);
    EXPECT_EQ(sirt_sizes.alignment_n, 64);
    EXPECT_THAT(from_device(d_length, 3), ElementsAre(1, 1, 0));
    const std::vector<float> m = from_device(d_matrix, 64);
    const std::vector<int> col = from_device(d_column, 64), col2 = from_device(d_column2, 64);
    EXPECT_EQ(m[0], 1.0f);
    EXPECT_EQ(col[0], 0);
    EXPECT_EQ(col2[0], 2);
    EXPECT_EQ(m[1], 1.0f);
    EXPECT_EQ(col[1], 1);
    EXPECT_EQ(col2[1], 1);
    EXPECT_TRUE(std::all_of(m.begin() + 2, m.end(), [](float v) { return v == 0.0f; }));

    EXPECT_THAT(raw_weights(3, 3, 2, 1), ElementsAre(1.0f, 2.0f, 1.0f));
    EXPECT_THAT(from_device(d_weights, 3), ElementsAre(1.0f, 0.5f, 1.0f));

    EXPECT_EQ(sirt_sizes.nrows, 2);
    EXPECT_EQ(sirt_sizes.max_length_t, 2);
    EXPECT_EQ(sirt_sizes.alignment, 64);
    EXPECT_THAT(from_device(d_idrow_t, 2), ElementsAre(0, 1));
    EXPECT_THAT(from_device(d_length_t, 2), ElementsAre(2, 2));
    const std::vector<float> mt = from_device(d_matrix_t, 128);
    const std::vector<int> ct = from_device(d_column_t, 128);
    EXPECT_EQ(ct[0], 0);   // row 0, entry 0
    EXPECT_EQ(ct[64], 3);  // row 0, entry 1
    EXPECT_EQ(ct[1], 1);
    EXPECT_EQ(ct[65], 4);
    for (int e : {0, 1, 64, 65}) EXPECT_EQ(mt[e], 1.0f);
    EXPECT_EQ(std::count(mt.begin(), mt.end(), 0.0f), 124);
}

// Odd thickness: the half matrix includes the centre row, whose pixels count
// once in the weights; width 3, thickness 3, one tilt at 0 degrees.
TEST_P(SirtSetup, OddThicknessCoversCentreRowOnce) {
    const std::vector<a> tilts = tilt_records({0.0f});
    sirt_setup(tilts.data(), 3, 1, 3, 3, 1);
    EXPECT_EQ(sirt_sizes.nRows, 6);
    EXPECT_THAT(from_device(d_length, 6), ElementsAre(1, 1, 0, 1, 1, 0));
    EXPECT_THAT(raw_weights(3, 3, 3, 1), ElementsAre(2.0f, 3.0f, 1.0f));
    EXPECT_THAT(from_device(d_weights, 3), ElementsAre(0.5f, FloatEq(1.0f / 3.0f), 1.0f));
}

TEST_P(SirtSetup, ThicknessOneIsAllCentreRow) {
    const std::vector<a> tilts = tilt_records({0.0f});
    sirt_setup(tilts.data(), 3, 1, 3, 1, 1);
    EXPECT_EQ(sirt_sizes.nRows, 3);
    EXPECT_EQ(sirt_sizes.alignment_n, 64);
    EXPECT_THAT(from_device(d_length, 3), ElementsAre(1, 1, 0));
    EXPECT_THAT(from_device(d_weights, 3), ElementsAre(1.0f, 1.0f, 0.0f));
}

// A one-sample detector: nothing is in range, the transposed matrix is one
// empty row of bin 0.
TEST_P(SirtSetup, SingleSampleDetectorHasNoEntries) {
    const std::vector<a> tilts = tilt_records({-30.0f, 0.0f, 30.0f});
    sirt_setup(tilts.data(), 1, 3, 1, 4, 3);
    EXPECT_THAT(from_device(d_length, 2), ElementsAre(0, 0));
    EXPECT_THAT(from_device(d_weights, 3), ElementsAre(0.0f, 0.0f, 0.0f));
    EXPECT_EQ(sirt_sizes.nrows, 1);
    EXPECT_EQ(sirt_sizes.max_length_t, 0);
    EXPECT_EQ(sirt_sizes.alignment, 64);
    EXPECT_THAT(from_device(d_idrow_t, 1), ElementsAre(0));
    EXPECT_THAT(from_device(d_length_t, 1), ElementsAre(0));
}

// Every tilt gets the weights of its own angle, also for angle sets without
// the symmetry theta(N - t) = -theta(t): 61 tilts of -60 .. 60, and an
// asymmetric set. W against the dense reference, then its inversion.
TEST_P(SirtSetup, WeightsOfEveryTiltFromItsOwnAngle) {
    for (const std::vector<float>& deg :
         {angle_range(-60, 60, 2), std::vector<float>{-55.5f, -20, 3, 14, 41, 63}}) {
        const int S = 16, Y = 10, N = (int)deg.size();
        const SirtProblem g{tilt_records(deg), S, S, Y};
        sirt_setup(g.tilts.data(), S, N, S, Y, N);
        const std::vector<float> W = raw_weights(S, S, Y, N);
        const std::vector<float> V = from_device(d_weights, (size_t)S * N);
        const SirtReference ref = sirt_reference_operators(g);
        for (int t = 0; t < N; ++t) {
            float row_sum = 0;
            for (int c = 0; c < S; ++c) {
                const int e = t * S + c;
                EXPECT_NEAR(W[e], ref.W[e], 1e-5 * Y) << "tilt " << t << " sample " << c;
                EXPECT_EQ(V[e], W[e] != 0.0f ? (1.0f / N) / W[e] : 0.0f) << "tilt " << t << " sample " << c;
                row_sum += W[e];
            }
            EXPECT_GT(row_sum, 0.0f) << "tilt " << t;
        }
        sirt_free();
    }
}

// The half-slice matrix against the geometry: every upper pixel has one entry
// per in-range tilt, in tilt order.
TEST_P(SirtSetup, HalfMatrixEntriesFollowTheGeometry) {
    const std::vector<float> deg{-62, -31, -7, 0, 12, 45, 58};
    const std::vector<a> tilts = tilt_records(deg);
    const int X = 11, Y = 9, N = (int)deg.size();
    sirt_setup(tilts.data(), X, N, X, Y, N);
    ASSERT_EQ(sirt_sizes.nRows, 5 * X);
    const int stride = sirt_sizes.alignment_n;
    const std::vector<int> len = from_device(d_length, sirt_sizes.nRows);
    const std::vector<float> m = from_device(d_matrix, (size_t)stride * N);
    const std::vector<int> col = from_device(d_column, (size_t)stride * N), col2 = from_device(d_column2, (size_t)stride * N);
    for (int r = 0; r < sirt_sizes.nRows; ++r) {
        const int i = r % X, j = r / X;
        int k = 0;
        for (int t = 0; t < N; ++t) {
            const double p = tilts[t].cos_a * (i - 5.0) - (j - 4.0) * (double)tilts[t].sin_a + 5.0;
            if (!(std::trunc(p) >= 0 && std::trunc(p) < X - 1)) continue;
            const int c = (int)std::trunc(p), e = r + k * stride;
            ASSERT_LT(k, len[r]) << "row " << r;
            EXPECT_EQ(col[e], t * X + c);
            EXPECT_EQ(col2[e], t * X + X - 1 - c);
            EXPECT_NEAR(m[e], 1.0 - (p - c), 1e-5);
            ++k;
        }
        EXPECT_EQ(len[r], k) << "row " << r;
    }
}

// The counting sort against an independent grouping: every (pixel, bin) pair
// collected into a map of bins, each holding its pixels in order.
TEST_P(SirtSetup, TransposedMatrixGroupsPixelsByBin) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> angle(-70, 70);
    std::vector<float> deg(9);
    for (float& d : deg) d = angle(rng);
    const std::vector<a> tilts = tilt_records(deg);  // unsorted: rows follow the tilt index
    const int S = 14, X = 14, Y = 17, N = (int)deg.size();
    std::map<int, std::vector<std::pair<int, float>>> bins;
    const float w_2 = 6.5f, h_2 = 8.0f, r_2 = 6.5f;
    for (int t = 0; t < N; ++t)
        for (int j = 0; j < Y; ++j)
            for (int i = 0; i < X; ++i) {
                const float p = tilts[t].cos_a * ((float)i - w_2) - ((float)j - h_2) * tilts[t].sin_a + r_2;
                const int c = (int)p;
                if (p <= -1.0f || c < 0 || c >= S - 1) continue;
                bins[t * S + c].push_back({j * X + i, 1.0f - (p - (float)c)});
            }
    sirt_setup(tilts.data(), S, N, X, Y, N);
    ASSERT_EQ(sirt_sizes.nrows, (int)bins.size());
    int max_len = 0;
    for (auto& [bin, entries] : bins) max_len = std::max(max_len, (int)entries.size());
    ASSERT_EQ(sirt_sizes.max_length_t, max_len);
    ASSERT_EQ(sirt_sizes.alignment, (sirt_sizes.nrows + 63) / 64 * 64);
    const int stride = sirt_sizes.alignment;
    const std::vector<int> idrow = from_device(d_idrow_t, sirt_sizes.nrows);
    const std::vector<int> len = from_device(d_length_t, sirt_sizes.nrows);
    const std::vector<float> mt = from_device(d_matrix_t, (size_t)stride * max_len);
    const std::vector<int> ct = from_device(d_column_t, (size_t)stride * max_len);
    int r = 0;
    for (auto& [bin, entries] : bins) {
        std::sort(entries.begin(), entries.end());
        EXPECT_EQ(idrow[r], bin);
        ASSERT_EQ(len[r], (int)entries.size());
        for (int k = 0; k < len[r]; ++k) {
            EXPECT_EQ(ct[r + k * stride], entries[k].first) << "row " << r << " entry " << k;
            EXPECT_EQ(mt[r + k * stride], entries[k].second) << "row " << r << " entry " << k;
        }
        for (int k = len[r]; k < max_len; ++k) EXPECT_EQ(mt[r + k * stride], 0.0f);
        ++r;
    }
}

TEST_P(SirtSetup, FreeEmptiesEverySlot) {
    const std::vector<a> tilts = tilt_records({-10.0f, 20.0f});
    sirt_setup(tilts.data(), 8, 2, 8, 4, 2);
    sirt_free();
    for (const void* p : {(const void*)d_recons, (const void*)d_sino, (const void*)d_sinoaux, (const void*)d_weights,
                          (const void*)d_tangles, (const void*)d_matrix, (const void*)d_column,
                          (const void*)d_column2, (const void*)d_length, (const void*)d_matrix_t,
                          (const void*)d_column_t, (const void*)d_length_t, (const void*)d_idrow_t})
        EXPECT_EQ(p, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Backends, SirtSetup, testing::ValuesIn(test_backends()), backend_param_name);

// ---- memory figures and refusals -------------------------------------------------

TEST(SirtMemory, SetupFigureFor60TiltsOf512By256) {
    const float mb = sirt_setup_required_mb(512, 60, 512, 256, 60);
    EXPECT_EQ(mb, (float)((524288.0 + 245760 + 122880 + 1200 + 15728640 + 31457280 + 262144) / 1048576));
    char text[32];
    snprintf(text, sizeof text, "%2.2f", mb);
    EXPECT_STREQ(text, "46.10");
}

struct Refusal {
    const char* name;
    float memory_mb;
    int sinoX, reconsX, reconsY, Ntilts;
    int status;
    std::string message;
};

void PrintTo(const Refusal& r, std::ostream* os) { *os << r.name; }

class SirtRefusal : public testing::TestWithParam<Refusal> {};

// 2-wide slices tilted at 0 degrees: the transposed matrix is tiny (one row of
// two pixels per tilt) while the half matrix has a full 64-row block per tilt.
TEST_P(SirtRefusal, MessageAndStatus) {
    const Refusal& c = GetParam();
    const std::vector<a> tilts(std::max(c.Ntilts, 1), tilt_record(0.0f));
    const Captured out = capture_exit([&] {
        gpu_memory_mb = c.memory_mb;
        sirt_setup(tilts.data(), c.sinoX, c.Ntilts, c.reconsX, c.reconsY, c.Ntilts);
    });
    EXPECT_EQ(out.status, c.status);
    EXPECT_EQ(out.err, c.message);
    EXPECT_EQ(out.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SirtRefusal,
    testing::Values(
        // (16 + 16000 + 8000 + 20000 + 256000 + 512000 + 8) bytes = 0.7744 Mb for the set-up's buffers
        // and (2 * 4 * 1024 * 2 + 8 * 1000) bytes = 0.0233 Mb for the transposed matrix: one check of both.
        Refusal{"AllBuffers", 0.5f, 2, 2, 2, 1000, 255, "GPU: 0.50 Mb. Not enough memory for run sirt: 0.80 Mb\n"},
        Refusal{"RoomForEachButNotBoth", 0.78f, 2, 2, 2, 1000, 255,
                "GPU: 0.78 Mb. Not enough memory for run sirt: 0.80 Mb\n"},
        Refusal{"AllBuffersEqualPasses", (812024.0f + 24384.0f) / 1048576.0f, 2, 2, 2, 1000, 0, ""},
        Refusal{"NoTilts", 1e6f, 8, 8, 8, 0, 255, "SIRT: the tilt series has no projections to reconstruct from.\n"},
        Refusal{"CountBeyond32Bits", 1e6f, 46341, 46341, 46341, 1, 255,
                "SIRT: the slice and tilt series are too large for 32-bit element counts.\n"},
        Refusal{"EmptySlice", 1e6f, 8, 8, 0, 3, 255, "SIRT: empty geometry (projection width 8, slice 8 x 0).\n"}),
    [](const testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST(SirtRefusal, TransposedCountBeyond32Bits) {
    const std::vector<a> tilts(3, tilt_record(0.0f));
    const Captured out = capture_exit([&] { sirt_transpose_on_host(tilts.data(), 30000, 30000, 30000, 3); });
    EXPECT_EQ(out.status, 255);
    EXPECT_EQ(out.err,
              "SIRT: the transposed matrix needs 2700000000 elements, more than 32-bit element counts allow.\n");
}

#if !defined(__SANITIZE_ADDRESS__)
// A host allocation that fails is reported, not dereferenced: the transposed
// matrix of 200 tilts at 0 degrees over a 256 x 256 slice needs two images of
// about 50 Mb, refused here by an address-space limit just above what the
// process holds.
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
        sirt_transpose_on_host(tilts.data(), 256, 256, 256, 200);
    });
    EXPECT_EQ(out.status, 255);
    EXPECT_THAT(out.err, testing::StartsWith("SIRT: not enough host memory to build the transposed matrix ("));
}
#endif

}  // namespace
