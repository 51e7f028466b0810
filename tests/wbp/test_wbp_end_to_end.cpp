// Weighted back-projection end to end: skarbel_phantom writes a tilt series and
// its ground truth, the built skarbel reconstructs it at every symmetry level,
// and the central slice is compared with the truth and across the levels.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "support/capture.h"
#include "support/files.h"
#include "support/volumes.h"
#include "wbp/wbp_reference.h"

namespace {

constexpr int kWidth = 96, kRows = 3, kThickness = 48;

// A tilt series from the phantom generator, reconstructed at every level.
struct Series {
    std::string name;
    Volume truth;
    std::vector<Volume> levels;  // central slices of levels 0 .. 3 (whole volumes)
    std::vector<std::string> errors;
    std::vector<float> angles;
};

std::string flag(char letter, int value) { return std::string("-") + letter + std::to_string(value); }

void reconstruct_all(const TempDir& dir, const std::string& tlt, const std::string& stack, Series& s) {
    for (int level = 0; level <= 3; ++level) {
        const std::string out = dir.file(s.name + "_s" + std::to_string(level) + ".mrc");
        const Captured r = run_skarbel({flag('z', kThickness), flag('s', level), tlt, stack, out});
        EXPECT_EQ(r.status, 0) << s.name << " level " << level << ": " << r.err;
        EXPECT_NE(r.out.find("[WBP]Symmetry level: " + std::to_string(level) + "\n"), std::string::npos) << r.out;
        s.levels.push_back(read_volume(out));
        s.errors.push_back(r.err);
    }
}

// -60 .. 60 degrees in 61 tilts: the usual series, without the pairing level 3 needs.
Series usual_series(const TempDir& dir) {
    Series s{"usual", {}, {}, {}, {}};
    const std::string prefix = dir.file("usual");
    const Captured p = run_program({SKARBEL_PHANTOM_BIN, flag('x', kWidth), flag('y', kRows), flag('z', kThickness),
                                    "-t61", "-r60", prefix});
    EXPECT_EQ(p.status, 0) << p.err;
    s.truth = read_volume(prefix + "_truth.mrc");
    reconstruct_all(dir, prefix + ".tlt", prefix + ".mrc", s);
    return s;
}

// -90 .. 88 degrees in steps of 2: the generator's -90 .. 90 series in 91 tilts
// without its last projection, so that angle(90 - t) = -angle(t).
Series paired_series(const TempDir& dir) {
    Series s{"paired", {}, {}, {}, {}};
    const std::string prefix = dir.file("full");
    const Captured p = run_program({SKARBEL_PHANTOM_BIN, flag('x', kWidth), flag('y', kRows), flag('z', kThickness),
                                    "-t91", "-r90", prefix});
    EXPECT_EQ(p.status, 0) << p.err;
    s.truth = read_volume(prefix + "_truth.mrc");
    const Volume full = read_volume(prefix + ".mrc");
    EXPECT_EQ(full.nz, 91);
    const int n = 90;
    const std::vector<float> kept(full.v.begin(), full.v.begin() + (size_t)kWidth * kRows * n);
    for (int t = 0; t < n; ++t) s.angles.push_back(-90.0f + 2.0f * t);
    const std::string stack = dir.file("paired.mrc"), tlt = dir.file("paired.tlt");
    write_test_stack(stack, kWidth, kRows, n, 2, kept);
    write_tilt_file(tlt, s.angles);
    reconstruct_all(dir, tlt, stack, s);
    return s;
}

// Every pixel whose projections stay strictly inside the detector at all tilts.
std::vector<bool> interior_pixels(const std::vector<float>& angles) {
    const std::vector<a> tilts = tilt_records(angles);
    const std::vector<float> none;
    const wbp_ref::Reference ref({kWidth, kWidth, kThickness}, tilts, none);
    std::vector<bool> inside((size_t)kWidth * kThickness);
    for (int j = 0; j < kThickness; ++j)
        for (int i = 0; i < kWidth; ++i) inside[(size_t)j * kWidth + i] = ref.interior(i, j);
    return inside;
}

std::vector<float> usual_angles() {
    std::vector<float> v;
    for (int t = 0; t < 61; ++t) v.push_back(-60.0f + 2.0f * t);
    return v;
}

const char kLevel3Warning[] =
    "Warning: symmetry level 3 needs tilt-symmetric angles (angle(Ntilts - t) = -angle(t)); using symmetry level "
    "2\n";

// The central slice against the truth (correlations measured on this phantom,
// 96 x 48 slices: 0.733 at every level for -60..60, where the missing wedge
// smears the shapes; 0.963 at levels 0 to 2 and 0.954 at level 3, whose mirror
// pixels near the detector ends differ, for the full circle) and the levels
// against each other: level 1 equals level 0, levels 2 and 3 equal
// level 1 wherever the pixel's projections stay inside the detector, within
// single-precision rounding relative to the slice's range.
void check_series(const Series& s, double min_correlation, const std::vector<float>& angles) {
    ASSERT_EQ(s.truth.nx, kWidth);
    ASSERT_EQ(s.truth.ny, kThickness);
    ASSERT_EQ(s.truth.nz, kRows);
    const int centre = kRows / 2;
    const size_t npix = (size_t)kWidth * kThickness;
    const std::vector<bool> inside = interior_pixels(angles);
    const float* l1 = s.levels[1].section(centre);
    double range = 0;
    for (size_t p = 0; p < npix; ++p) range = std::max(range, (double)std::fabs(l1[p]));
    for (int level = 0; level <= 3; ++level) {
        const Volume& v = s.levels[level];
        ASSERT_EQ(v.nx, kWidth) << s.name << " level " << level;
        ASSERT_EQ(v.ny, kThickness);
        ASSERT_EQ(v.nz, kRows);
        const double r = correlation(v.section(centre), s.truth.section(centre), npix);
        printf("[ measure  ] %s series, level %d: central-slice correlation with the truth %.4f\n", s.name.c_str(),
               level, r);
        EXPECT_GE(r, min_correlation) << s.name << " level " << level;
        double worst = 0;
        for (size_t p = 0; p < npix; ++p)
            if (level <= 1 || inside[p]) worst = std::max(worst, (double)std::fabs(v.section(centre)[p] - l1[p]));
        EXPECT_LE(worst, 1e-5 * range) << s.name << " level " << level << " against level 1";
    }
}

TEST(WbpEndToEnd, PhantomSeriesAtEveryLevel) {
    TempDir dir;
    const Series usual = usual_series(dir);
    ASSERT_EQ(usual.levels.size(), 4u);
    check_series(usual, 0.70, usual_angles());
    // Level 3 warns and runs level 2: the two volumes are equal.
    EXPECT_NE(usual.errors[3].find(kLevel3Warning), std::string::npos) << usual.errors[3];
    EXPECT_EQ(usual.errors[2].find("Warning"), std::string::npos);
    EXPECT_EQ(usual.levels[3].v, usual.levels[2].v);
    const Series paired = paired_series(dir);
    ASSERT_EQ(paired.levels.size(), 4u);
    check_series(paired, 0.93, paired.angles);
    EXPECT_EQ(paired.errors[3].find("Warning"), std::string::npos) << paired.errors[3];
}

}  // namespace
