// WBP set-up: memory figures and the memory check, the entries of the matrix
// in worked cases, the refusals (no tilts, 32-bit element counts), the level-3
// tilt-symmetry fallback, the buffer slots, and the agreement between levels.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "gpu/gpu_layer.h"
#include "wbp/wbp_sizes.h"
#include "gpu/wg.h"
#include "support/backends.h"
#include "support/capture.h"
#include "wbp_levels.h"
#include "wbp_reference.h"

namespace {

std::vector<float> product_level(int level, const std::vector<float>& sino, int sinoX, int n, int reconsX,
                                 int thickness) {
    std::vector<float> slice((size_t)reconsX * thickness);
    wbp_product_level(level, slice.data(), sino.data(), sinoX, n, reconsX, thickness);
    return slice;
}

std::vector<float> reconstruct(int level, const std::vector<a>& tilts, const std::vector<float>& sino, int sinoX,
                               int thickness) {
    wbp_setup_level(level, tilts, sinoX, sinoX, thickness);
    std::vector<float> slice = product_level(level, sino, sinoX, (int)tilts.size(), sinoX, thickness);
    wbp_free();
    return slice;
}

// ---- memory figures and the memory check ------------------------------------------

struct MemoryCase {
    int level;
    double bytes;
    const char* message;  // on a device reporting 1 Mb
};

// 60 tilts of 512-wide projections, thickness 256.
const MemoryCase kMemory[] = {
    {0, 127001776, "GPU: 1.00 Mb. Not enough memory for run wbp: 121.12 Mb\n"},
    {1, 64087216, "GPU: 1.00 Mb. Not enough memory for run wbp: 61.12 Mb\n"},
    {2, 48096432, "GPU: 1.00 Mb. Not enough memory for run wbp: 45.87 Mb\n"},
    {3, 25814192, "GPU: 1.00 Mb. Not enough memory for run wbp: 24.62 Mb\n"},
};

TEST(WbpMemory, FiguresOfEveryLevel) {
    for (const MemoryCase& c : kMemory) {
        const WbpSizes s = wbp_sizes(c.level, 512, 60, 512, 256, 60);
        EXPECT_EQ(s.bytes, c.bytes) << "level " << c.level;
        EXPECT_EQ(s.required_mb, (float)(c.bytes / 1048576.0)) << "level " << c.level;
    }
    char text[32];
    snprintf(text, sizeof text, "%2.2f", wbp_sizes(0, 512, 60, 512, 256, 60).required_mb);
    EXPECT_STREQ(text, "121.12");
}

TEST(WbpMemory, RefusesADeviceWithTooLittleMemory) {
    const std::vector<a> tilts = tilt_records(std::vector<float>(60, 0.0f));
    for (const MemoryCase& c : kMemory) {
        const Captured r = capture_exit([&] {
            gpu_memory_mb = 1.0f;
            wbp_setup_level(c.level, tilts, 512, 512, 256);
        });
        EXPECT_EQ(r.status, 255) << "level " << c.level;
        EXPECT_EQ(r.err, c.message);
        EXPECT_EQ(r.out, "");
    }
    const Captured r = capture_exit([&] {
        gpu_memory_mb = 121.0f;
        wbp_setup_sym0(tilts.data(), 512, 60, 512, 256, 60);
    });
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "GPU: 121.00 Mb. Not enough memory for run wbp: 121.12 Mb\n");
}

TEST(WbpMemory, ExactlyEnoughMemoryPasses) {
    const std::vector<a> tilts = tilt_records({-30, 0, 30});
    const float saved = gpu_memory_mb;
    gpu_memory_mb = wbp_sizes(0, 16, 3, 16, 8, 3).required_mb;
    wbp_setup_sym0(tilts.data(), 16, 3, 16, 8, 3);
    EXPECT_NE(d_matrix, nullptr);
    wbp_free();
    gpu_memory_mb = saved;
    const Captured r = capture_exit([&] {
        gpu_memory_mb = std::nextafter(wbp_sizes(0, 16, 3, 16, 8, 3).required_mb, 0.0f);
        wbp_setup_sym0(tilts.data(), 16, 3, 16, 8, 3);
    });
    EXPECT_EQ(r.status, 255);
}

// ---- refusals before anything is allocated --------------------------------------------

struct Refusal {
    int level, sinoX, Ntilts, reconsX, thickness;
    const char* message;
};

const Refusal kRefusals[] = {
    {0, 4096, 64, 4096, 4096,
     "WBP symmetry level 0: the matrix needs 2147483648 elements, beyond 32-bit element counts; use a higher "
     "symmetry level (-s1)\n"},
    {1, 4096, 128, 4096, 4096,
     "WBP symmetry level 1: the matrix needs 2147483648 elements, beyond 32-bit element counts; use a higher "
     "symmetry level (-s2)\n"},
    {2, 4096, 256, 4096, 4096,
     "WBP symmetry level 2: the matrix needs 2147483648 elements, beyond 32-bit element counts; use a higher "
     "symmetry level (-s3)\n"},
    {3, 8192, 128, 8192, 8192,
     "WBP symmetry level 3: the matrix needs 2181038080 elements, beyond 32-bit element counts; use a thinner "
     "slice or narrower projections\n"},
    {2, 65536, 4, 65536, 32768,
     "WBP: a slice of 65536 x 32768 pixels or a sinogram of 65536 x 4 samples is beyond 32-bit element counts\n"},
    {0, 64, 0, 64, 64, "WBP: the tilt series holds no projections; at least one tilt is needed\n"},
    {1, 64, 0, 64, 64, "WBP: the tilt series holds no projections; at least one tilt is needed\n"},
    {2, 64, 0, 64, 64, "WBP: the tilt series holds no projections; at least one tilt is needed\n"},
    {3, 64, 0, 64, 64, "WBP: the tilt series holds no projections; at least one tilt is needed\n"},
};

TEST(WbpRefusals, ClearMessageAndStatus255BeforeAllocating) {
    for (const Refusal& c : kRefusals) {
        // Tilt-symmetric angles (all 0), so that level 3 stays level 3.
        const std::vector<a> tilts = tilt_records(std::vector<float>((size_t)std::max(c.Ntilts, 1), 0.0f));
        const Captured r = capture_exit([&] {
            switch (c.level) {
                case 0: wbp_setup_sym0(tilts.data(), c.sinoX, c.Ntilts, c.reconsX, c.thickness, c.Ntilts); break;
                case 1: wbp_setup_sym1(tilts.data(), c.sinoX, c.Ntilts, c.reconsX, c.thickness, c.Ntilts); break;
                case 2: wbp_setup_sym2(tilts.data(), c.sinoX, c.Ntilts, c.reconsX, c.thickness, c.Ntilts); break;
                default: wbp_setup_sym3(tilts.data(), c.sinoX, c.Ntilts, c.reconsX, c.thickness, c.Ntilts); break;
            }
            // Reached only if the set-up went ahead.
            printf("allocated %d\n", d_recons != nullptr);
        });
        EXPECT_EQ(r.status, 255) << c.message;
        EXPECT_EQ(r.err, c.message);
        EXPECT_EQ(r.out, "");
    }
}

// The element count of 4096-wide slices, 4096 thick, with 61 tilts still fits in
// 32 bits at level 0 (2 * 61 * 4096 * 4096 = 2046820352).
TEST(WbpRefusals, LargestFittingCountIsAccepted) {
    const WbpSizes s = wbp_sizes(0, 4096, 61, 4096, 4096, 61);
    EXPECT_EQ(s.entries, 2046820352LL);
}

// ---- entries in worked cases -----------------------------------------------------------

class WbpEntries : public testing::TestWithParam<GpuBackend> {};

// At 0 degrees with reconsX = sinoX, column i projects to p = i: weight factor on
// sample i and 0 on sample i + 1; the last column projects to sinoX - 1 and gets
// no entry.
TEST_P(WbpEntries, WeightsAtZeroDegrees) {
    USE_BACKEND_OR_SKIP(GetParam());
    const std::vector<a> tilts = tilt_records({0, 0});
    const int X = 8, Y = 3, n = 2;
    for (int level = 0; level <= 3; ++level) {
        SCOPED_TRACE(testing::Message() << "level " << level);
        wbp_setup_level(level, tilts, X, X, Y);
        const int rows = level <= 1 ? Y : (Y + 1) / 2, nRows = X * rows;
        const int cap = level == 0 ? 2 * n : level == 3 ? n / 2 + 1 : n;
        const auto m = from_device(d_matrix, (size_t)cap * nRows);
        const auto col = from_device(d_column, (size_t)cap * nRows);
        const auto len = from_device(d_length, (size_t)nRows);
        const auto col2 = d_column2 ? from_device(d_column2, (size_t)cap * nRows) : std::vector<int>();
        const int tilts_stored = level == 3 ? n / 2 + 1 : n;
        const int per_tilt = level == 0 ? 2 : 1;
        for (int r = 0; r < nRows; ++r) {
            const int i = r % X;
            if (i == X - 1) {
                EXPECT_EQ(len[r], 0) << "row " << r;
                continue;
            }
            ASSERT_EQ(len[r], per_tilt * tilts_stored) << "row " << r;
            for (int t = 0; t < tilts_stored; ++t) {
                const size_t e = (size_t)r + (size_t)(per_tilt * t) * nRows;
                EXPECT_EQ(m[e], 0.5f);
                EXPECT_EQ(col[e], t * X + i);
                if (level == 0) {
                    EXPECT_EQ(m[e + nRows], 0.0f);
                    EXPECT_EQ(col[e + nRows], t * X + i + 1);
                }
                if (level >= 2) {
                    EXPECT_EQ(col2[e], t * X + (X - 1 - i));
                }
            }
        }
        wbp_free();
    }
}

// A position p in (-1, 0) truncates to c = 0: samples 0 and 1 with weights above
// factor and below 0 (linear extrapolation); p = -1 gives no entry; p = 0 gives
// factor on sample 0.
TEST_P(WbpEntries, ExtrapolationBeforeTheFirstSample) {
    USE_BACKEND_OR_SKIP(GetParam());
    const std::vector<a> tilts = tilt_records({0});
    struct Case {
        int reconsX;
        float p0;  // position of column 0 on the 8-sample detector
    };
    for (const Case c : {Case{9, -0.5f}, Case{10, -1.0f}, Case{8, 0.0f}}) {
        SCOPED_TRACE(testing::Message() << "reconsX " << c.reconsX);
        wbp_setup_sym0(tilts.data(), 8, 1, c.reconsX, 1, 1);
        const auto m = from_device(d_matrix, (size_t)2 * c.reconsX);
        const auto col = from_device(d_column, (size_t)2 * c.reconsX);
        const auto len = from_device(d_length, (size_t)c.reconsX);
        const std::vector<float> sino = {3.0f, 5.0f, 0, 0, 0, 0, 0, 0};
        std::vector<float> slice(c.reconsX);
        wbp_product_sym0(slice.data(), sino.data(), 8, 1, c.reconsX, 1);
        wbp_free();
        if (c.p0 <= -1.0f) {
            EXPECT_EQ(len[0], 0);
            EXPECT_EQ(slice[0], 0.0f);
            continue;
        }
        ASSERT_EQ(len[0], 2);
        EXPECT_EQ(col[0], 0);
        EXPECT_EQ(col[c.reconsX], 1);
        EXPECT_EQ(m[0], 1.0f - c.p0);
        EXPECT_EQ(m[c.reconsX], c.p0);
        EXPECT_FLOAT_EQ(slice[0], (1.0f - c.p0) * 3.0f + c.p0 * 5.0f);
        // The last column lies at p >= 7 = sinoX - 1: no entry.
        EXPECT_EQ(len[c.reconsX - 1], 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, WbpEntries, testing::ValuesIn(test_backends()), backend_param_name);

// ---- buffer slots --------------------------------------------------------------------

TEST(WbpSlots, EachLevelFillsItsSlotsAndFreeEmptiesThem) {
    const std::vector<a> tilts = tilt_records({-30, -20, 20});  // tilt-symmetric
    for (int level = 0; level <= 3; ++level) {
        wbp_setup_level(level, tilts, 12, 12, 6);
        EXPECT_NE(d_recons, nullptr);
        EXPECT_NE(d_sino, nullptr);
        EXPECT_NE(d_tangles, nullptr);
        EXPECT_NE(d_matrix, nullptr);
        EXPECT_NE(d_column, nullptr);
        EXPECT_NE(d_length, nullptr);
        EXPECT_EQ(d_column2 != nullptr, level >= 2) << "level " << level;
        EXPECT_EQ(d_row1 != nullptr, level == 3) << "level " << level;
        EXPECT_EQ(d_row2 != nullptr, level == 3) << "level " << level;
        EXPECT_EQ(d_sinoaux, nullptr);
        EXPECT_EQ(d_weights, nullptr);
        wbp_free();
        for (const void* p : {(const void*)d_recons, (const void*)d_sino, (const void*)d_tangles,
                              (const void*)d_matrix, (const void*)d_column, (const void*)d_column2,
                              (const void*)d_length, (const void*)d_row1, (const void*)d_row2})
            EXPECT_EQ(p, nullptr);
    }
}

// ---- level 3 needs tilt-symmetric angles ------------------------------------------------

const char kLevel3Warning[] =
    "Warning: symmetry level 3 needs tilt-symmetric angles (angle(Ntilts - t) = -angle(t)); using symmetry level "
    "2\n";

TEST(WbpTiltSymmetry, RecognisesPairedAngles) {
    EXPECT_TRUE(wbp_tilts_symmetric(tilt_records({-90, -60, -30, 0, 30, 60}).data(), 6));
    EXPECT_TRUE(wbp_tilts_symmetric(tilt_records({7, -50, -10, 10, 50}).data(), 5));
    EXPECT_TRUE(wbp_tilts_symmetric(tilt_records({33}).data(), 1));
    EXPECT_TRUE(wbp_tilts_symmetric(tilt_records({-60, -30, 0.0004f, 30.0009f}).data(), 4));
    EXPECT_FALSE(wbp_tilts_symmetric(tilt_records({-60, -30, 0, 30.002f}).data(), 4));
    EXPECT_FALSE(wbp_tilts_symmetric(tilt_records({-60, -30, 0, 30, 60}).data(), 5));
    EXPECT_FALSE(wbp_tilts_symmetric(tilt_records({-60, 0, 60}).data(), 3));
}

class WbpLevel3 : public testing::TestWithParam<GpuBackend> {};

// An ordinary series from -60 to 60 in steps of 2 lacks the pairing: level 3
// warns once and gives exactly the level-2 slice.
TEST_P(WbpLevel3, AsymmetricAnglesWarnAndRunLevel2) {
    USE_BACKEND_OR_SKIP(GetParam());
    std::vector<float> degrees;
    for (int t = 0; t < 61; ++t) degrees.push_back(-60.0f + 2.0f * t);
    const std::vector<a> tilts = tilt_records(degrees);
    const int X = 40, Y = 30;
    const std::vector<float> sino = wbp_ref::random_values((size_t)X * 61, 5);
    testing::internal::CaptureStderr();
    const std::vector<float> level3 = reconstruct(3, tilts, sino, X, Y);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), kLevel3Warning);
    const std::vector<float> level2 = reconstruct(2, tilts, sino, X, Y);
    EXPECT_EQ(level3, level2);
}

TEST_P(WbpLevel3, SymmetricAnglesRunSilently) {
    USE_BACKEND_OR_SKIP(GetParam());
    const std::vector<a> tilts = tilt_records({-90, -60, -30, 0, 30, 60});
    const std::vector<float> sino = wbp_ref::random_values(20 * 6, 6);
    testing::internal::CaptureStderr();
    wbp_setup_level(3, tilts, 20, 20, 10);
    EXPECT_NE(d_row1, nullptr);
    wbp_free();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

INSTANTIATE_TEST_SUITE_P(Backends, WbpLevel3, testing::ValuesIn(test_backends()), backend_param_name);

// ---- agreement between levels ---------------------------------------------------------

// Level 1 has the level-0 entries with the second weight formed as factor - m;
// level 2 and level 3 (symmetric angles) give the level-1 value wherever a
// pixel's projections stay inside the detector. Tolerance: 1e-5 absolute on
// values up to 1 (sums of 45 single-precision terms of different rounding).
class WbpLevels : public testing::TestWithParam<GpuBackend> {};

TEST_P(WbpLevels, AgreeAwayFromTheDetectorEnds) {
    USE_BACKEND_OR_SKIP(GetParam());
    std::vector<float> degrees;
    for (int t = 0; t < 45; ++t) degrees.push_back(-90.0f + 4.0f * t);  // -90 .. 86: tilt-symmetric
    const std::vector<a> tilts = tilt_records(degrees);
    for (const auto& [X, Y] : {std::pair{64, 48}, std::pair{63, 37}}) {
        SCOPED_TRACE(testing::Message() << X << " x " << Y);
        const std::vector<float> sino = wbp_ref::random_values((size_t)X * tilts.size(), (uint32_t)(X + Y));
        const wbp_ref::Reference ref({X, X, Y}, tilts, sino);
        std::vector<std::vector<float>> slices;
        for (int level = 0; level <= 3; ++level) {
            wbp_setup_level(level, tilts, X, X, Y);
            slices.push_back(product_level(level, sino, X, (int)tilts.size(), X, Y));
            // The matrix is unchanged by a product: a second call gives the same slice.
            EXPECT_EQ(product_level(level, sino, X, (int)tilts.size(), X, Y), slices.back()) << "level " << level;
            wbp_free();
        }
        int interior = 0;
        for (int j = 0; j < Y; ++j) {
            for (int i = 0; i < X; ++i) {
                const size_t p = (size_t)j * X + i;
                ASSERT_NEAR(slices[1][p], slices[0][p], 1e-5) << "level 1, pixel " << i << ", " << j;
                if (GetParam() == GPU_BACKEND_HOST && j < (Y + 1) / 2) {
                    ASSERT_EQ(slices[2][p], slices[1][p]) << "level 2 upper half, pixel " << i << ", " << j;
                }
                if (!ref.interior(i, j)) continue;
                ++interior;
                ASSERT_NEAR(slices[2][p], slices[1][p], 1e-5) << "level 2, pixel " << i << ", " << j;
                ASSERT_NEAR(slices[3][p], slices[1][p], 1e-5) << "level 3, pixel " << i << ", " << j;
            }
        }
        EXPECT_GT(interior, X * Y / 3);
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, WbpLevels, testing::ValuesIn(test_backends()), backend_param_name);

}  // namespace
