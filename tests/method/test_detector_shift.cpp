// The per-tilt move of sinogram rows against the moved function itself: a
// smooth bump (a Gaussian, 0 at the row's ends) sampled at q + s, in double
// precision, for whole and fractional moves of either sign, several rows and
// tilts at once, and the same values at any thread count.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <vector>

#include "method/detector_shift.h"
#include "support/tilts.h"

namespace {

double bump(double q, double centre) { return std::exp(-(q - centre) * (q - centre) / (2.0 * 3.0 * 3.0)); }

}  // namespace

TEST(DetectorShift, MovesRowsByTheirTiltsShift) {
    constexpr int kN = 64, kCount = 2;
    const std::vector<a> tilts = tilt_records({-60, 0, 30, 45});
    const struct {
        double axis, dx, dz, tolerance;
    } cases[] = {{3, 0, 0, 1e-6}, {-7, 0, 0, 1e-6}, {0.5, 0, 0, 2e-4}, {0, 2.5, -1.25, 2e-4}, {1.5, -4, 6.3, 2e-4}};
    for (const auto& c : cases) {
        DetectorShift d = detector_shift_setup(tilts.data(), 4, kN, c.axis, c.dx, c.dz);
        ASSERT_EQ(d.shifts.size(), 4u);
        std::vector<float> rows((size_t)kCount * 4 * kN);
        for (int r = 0; r < kCount * 4; ++r)
            for (int q = 0; q < kN; ++q) rows[(size_t)r * kN + q] = (float)bump(q, 28 + r);
        std::vector<float> one_thread = rows;
        detector_shift_rows(d, rows.data(), kCount, 4);
        omp_set_num_threads(1);
        detector_shift_rows(d, one_thread.data(), kCount, 4);
        omp_set_num_threads(omp_get_num_procs());
        EXPECT_EQ(rows, one_thread);
        double worst = 0;
        for (int r = 0; r < kCount * 4; ++r) {
            const a& t = tilts[(size_t)(r % 4)];
            const double s = c.axis - c.dx * t.cos_a + c.dz * t.sin_a;
            EXPECT_DOUBLE_EQ(d.shifts[(size_t)(r % 4)], s);
            for (int q = 0; q < kN; ++q) worst = std::max(worst, std::fabs(rows[(size_t)r * kN + q] - bump(q + s, 28 + r)));
        }
        EXPECT_LE(worst, c.tolerance) << c.axis << " " << c.dx << " " << c.dz;
        detector_shift_free(&d);
    }
    // No move asked: nothing set up, rows untouched.
    DetectorShift none = detector_shift_setup(tilts.data(), 4, kN, 0, 0, 0);
    EXPECT_TRUE(none.shifts.empty());
    std::vector<float> row(4 * kN, 1.5f);
    detector_shift_rows(none, row.data(), 1, 4);
    EXPECT_EQ(row, std::vector<float>(4 * kN, 1.5f));
}
