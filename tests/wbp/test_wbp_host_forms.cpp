// The host forms of the WBP products (one lane: entry k walked across blocks of
// rows; more: lanes vectorised) on random matrices stored in tiles, against
// the literal per-item kernel bodies on the same matrices stored entry-major.
// Both add the same terms in the same order per row, so the slices must be
// equal bit for bit. (The set-ups' own matrices go through the same comparison
// in test_batches.)
#include "support/common.h"

#include "gpu/gpu_layer.h"
#include "host_simd/host_rows.h"
#include "host_simd/host_tiles.h"
#include "wbp/wbp_reference.h"
#include "wbp/wbp_batch_kernel.h"

namespace host_rows {
void PrintTo(Vectors v, std::ostream* os) { *os << vectors_name(v); }
}  // namespace host_rows

namespace {

// A matrix of one level held in host vectors, in the interleaved layout.
struct HostMatrix {
    int level, sinoX, Ntilts, reconsX, thickness, nRows, capacity;
    std::vector<float> matrix;
    std::vector<int> column, column2, length, row1, row2;
};

// Levels 2 and 3 cover the upper half of the slice (with the centre row), level 0
// stores two entries per tilt, level 3 the tilts 0 .. Ntilts/2.
HostMatrix empty_matrix(int level, int sinoX, int Ntilts, int reconsX, int thickness) {
    return {level, sinoX, Ntilts, reconsX, thickness, reconsX * (level <= 1 ? thickness : (thickness + 1) / 2),
            level == 0 ? 2 * Ntilts : level == 3 ? Ntilts / 2 + 1 : Ntilts, {}, {}, {}, {}, {}, {}};
}

// Random lengths (0 .. capacity, with full and empty rows) and random entries
// whose indices stay where the level's kernel may read: columns t * sinoX + c
// with 0 <= c < sinoX - 1, tilts below the level's tilt count.
HostMatrix random_matrix(int level, int sinoX, int Ntilts, int reconsX, int thickness, uint32_t seed) {
    HostMatrix h = empty_matrix(level, sinoX, Ntilts, reconsX, thickness);
    const size_t e = (size_t)h.capacity * h.nRows;
    h.matrix.assign(e, 0.0f);
    h.column.assign(e, 0);
    h.column2.assign(e, 0);
    h.length.assign(h.nRows, 0);
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> len(0, h.capacity), sample(0, sinoX - 2);
    std::uniform_int_distribution<int> tilt(0, level == 3 ? Ntilts / 2 : Ntilts - 1);
    std::uniform_real_distribution<float> weight(-0.5f / Ntilts, 1.5f / Ntilts);
    for (int r = 0; r < h.nRows; ++r) {
        const int pick = len(gen);
        h.length[r] = r % 97 == 0 ? h.capacity : r % 89 == 0 ? 0 : pick;
        for (int k = 0; k < h.length[r]; ++k) {
            const size_t i = (size_t)r + (size_t)k * h.nRows;
            const int t = tilt(gen), c = sample(gen);
            h.matrix[i] = weight(gen);
            h.column[i] = t * sinoX + c;
            h.column2[i] = t * sinoX + (sinoX - 1 - c);
        }
    }
    if (level == 3) {
        h.row1.resize(h.nRows);
        h.row2.resize(h.nRows);
        for (int r = 0; r < h.nRows; ++r) {
            const int j = r / reconsX, i = r % reconsX;
            h.row1[r] = i + reconsX * (thickness - 1 - j);
            h.row2[r] = reconsX * (j + 1) - i - 1;
        }
    }
    return h;
}

// The matrix h stored in tiles of th x tw pixels.
HostMatrix tiled(const HostMatrix& h, const wbp_ref::Tiling& t) {
    HostMatrix out = h;
    for (int r = 0; r < h.nRows; ++r) {
        out.length[t.pixel[r]] = h.length[r];
        for (int k = 0; k < h.capacity; ++k) {
            const size_t from = (size_t)r + (size_t)k * h.nRows, to = t.at(r, k);
            out.matrix[to] = h.matrix[from];
            out.column[to] = h.column[from];
            out.column2[to] = h.column2[from];
        }
    }
    return out;
}

// Runs the level's product kernel on the host for `lanes` interleaved
// sinograms, literally on h and in its fast form on t, h stored in `tiles`.
void run_both(const HostMatrix& h, const HostMatrix& t, const host_tiles::TileLayout& tiles, int lanes,
              const std::vector<float>& sino, std::vector<float>& literal, std::vector<float>& fast) {
    const size_t npix = (size_t)h.reconsX * h.thickness;
    const float factor = (float)(1.0 / h.Ntilts);
    const LaunchShape shape = launch_shape_1d((int)batch_items(h.nRows, lanes));
    // Level 3 adds into cleared slices; the others must write every pixel.
    const float fill = h.level == 3 ? 0.0f : std::numeric_limits<float>::quiet_NaN();
    literal.assign(npix * lanes, fill);
    fast.assign(npix * lanes, fill);
    auto both = [&](auto make) {
        host_items_1d(shape, make(h, literal.data(), host_tiles::TileLayout{}));
        make(t, fast.data(), tiles).host_run(shape);
    };
    const int n = h.nRows, T = h.Ntilts, S = h.sinoX, X = h.reconsX, Y = h.thickness, P = X * Y;
    const float* s = sino.data();
    if (h.level == 0)
        both([&](const HostMatrix& m, float* out, host_tiles::TileLayout L) {
            return cu_WBP_product_batch0{m.matrix.data(), out, s, m.column.data(), m.length.data(), n, lanes, P, T, S,
                                         L};
        });
    else if (h.level == 1)
        both([&](const HostMatrix& m, float* out, host_tiles::TileLayout L) {
            return cu_WBP_productsym1_batch{m.matrix.data(), out, s, m.column.data(), m.length.data(), n, lanes, P,
                                            factor, T, S, L};
        });
    else if (h.level == 2)
        both([&](const HostMatrix& m, float* out, host_tiles::TileLayout L) {
            return cu_WBP_productsym2_batch{m.matrix.data(), out, s, m.column.data(), m.column2.data(), m.length.data(),
                                            n, lanes, P, factor, X, Y, T, S, L};
        });
    else
        both([&](const HostMatrix& m, float* out, host_tiles::TileLayout L) {
            return cu_WBP_productsym3_batch{m.matrix.data(), out, s, m.column.data(), m.column2.data(),
                                            m.length.data(), m.row1.data(), m.row2.data(), n, lanes, P, factor, T, S,
                                            X, Y, L};
        });
}

void expect_bit_equal(const std::vector<float>& literal, const std::vector<float>& fast) {
    ASSERT_EQ(literal.size(), fast.size());
    EXPECT_EQ(std::memcmp(literal.data(), fast.data(), literal.size() * sizeof(float)), 0);
}

struct Shape {
    int sinoX, Ntilts, reconsX, thickness;
};

// Odd and even sizes, one tilt, thickness 1, and enough rows for several row
// blocks of the fast form with a partial last one, at every level.
const std::vector<Shape> kShapes = {
    {45, 61, 45, 61}, {33, 7, 33, 33}, {20, 1, 20, 1}, {12, 2, 12, 2}, {1500, 5, 1500, 3}, {100, 9, 100, 171},
};

// Each level with each vector set of the fast form (baseline SSE2, AVX2, AVX-512VL).
class WbpHostForms : public testing::TestWithParam<std::tuple<int, host_rows::Vectors>> {
protected:
    void SetUp() override {
        if (!host_rows::use_vectors(std::get<1>(GetParam())))
            GTEST_SKIP() << "no " << host_rows::vectors_name(std::get<1>(GetParam())) << " on this processor";
    }
    void TearDown() override { host_rows::use_widest_vectors(); }
};

// Tiles of the whole slice (entry-major), of sizes that cut the slice and its
// rows unevenly, and of the size the plans use, each with one lane and more
// (level 3: entry-major only).
TEST_P(WbpHostForms, FastFormEqualsLiteralOnRandomMatrices) {
    const int level = std::get<0>(GetParam());
    uint32_t seed = 77u + level;
    for (const Shape& s : kShapes) {
        const HostMatrix h = random_matrix(level, s.sinoX, s.Ntilts, s.reconsX, s.thickness, ++seed);
        const int rows = h.nRows / s.reconsX;
        for (auto [th, tw, lanes] : {std::tuple{0, 0, 1}, {5, 7, 1}, {3, 16, 33}, {64, 64, 16}}) {
            if (level == 3) th = tw = 0;  // level 3 is stored entry-major only
            SCOPED_TRACE(testing::Message() << s.sinoX << " x " << s.Ntilts << " -> " << s.reconsX << " x "
                                            << s.thickness << ", tiles " << th << " x " << tw << ", " << lanes
                                            << " lanes");
            const host_tiles::TileLayout tiles{rows, s.reconsX, th, tw, h.capacity};
            const HostMatrix t =
                tiled(h, wbp_ref::tiling(rows, s.reconsX, th ? th : rows, tw ? tw : s.reconsX, h.capacity));
            std::vector<float> sino = wbp_ref::random_values((size_t)s.sinoX * s.Ntilts * lanes, ++seed);
            std::vector<float> literal, fast;
            run_both(h, t, tiles, lanes, sino, literal, fast);
            expect_bit_equal(literal, fast);
            // Non-finite samples where dead entries point (index 0 and 1) must not leak
            // into rows that do not read them.
            std::fill(sino.begin(), sino.begin() + lanes, std::numeric_limits<float>::infinity());
            std::fill(sino.begin() + lanes, sino.begin() + 2 * lanes, -std::numeric_limits<float>::infinity());
            run_both(h, t, tiles, lanes, sino, literal, fast);
            expect_bit_equal(literal, fast);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, WbpHostForms,
                         testing::Combine(testing::Values(0, 1, 2, 3), testing::ValuesIn(host_rows::kAllVectors)),
                         [](const testing::TestParamInfo<std::tuple<int, host_rows::Vectors>>& info) {
                             return "level" + std::to_string(std::get<0>(info.param)) + "_" +
                                    host_rows::vectors_name(std::get<1>(info.param));
                         });

}  // namespace
