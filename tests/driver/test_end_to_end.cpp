// Both methods and --sirt-like end to end on one skarbel_phantom series, against its truth and each other.
#include "support/common.h"

#include "driver/estimate.h"
#include "support/tilts.h"
#include "support/volumes.h"
#include "wbp/wbp_reference.h"

namespace {

constexpr int kWidth = 96, kRows = 3, kThickness = 48, kCentre = kRows / 2;
constexpr size_t kSlice = (size_t)kWidth * kThickness;

class EndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new TempDir;
        const Captured p = run_program({SKARBEL_PHANTOM_BIN, "-x96", "-y3", "-z48", "-t61", "-r60", dir->file("p")});
        ASSERT_EQ(p.status, 0) << p.err;
    }
    static void TearDownTestSuite() { delete dir; }
    // The run's volume (kWidth x kThickness x kRows checked), and its messages in err.
    static Volume run(std::vector<std::string> args, const std::string& name, std::string* err = nullptr) {
        args.insert(args.begin(), "-z48");
        args.insert(args.end(), {dir->file("p.tlt"), dir->file("p.mrc"), dir->file(name)});
        const Captured r = run_skarbel(args);
        EXPECT_EQ(r.status, 0) << name << ": " << r.err;
        if (err) *err = r.out + r.err;
        const Volume v = read_volume(dir->file(name));
        EXPECT_EQ(v.nx * 10000 + v.ny * 100 + v.nz, kWidth * 10000 + kThickness * 100 + kRows) << name;
        return v;
    }
    static inline TempDir* dir = nullptr;
};

// The interior of every slice, where SIRT's slab confinement and ray lengths do not differ from WBP.
std::vector<float> interior(const Volume& v) {
    std::vector<float> out;
    for (int y = 0; y < v.nz; ++y)
        for (int j = 2; j < kThickness - 2; ++j)
            for (int i = 5; i < kWidth - 5; ++i) out.push_back(v.section(y)[(size_t)j * kWidth + i]);
    return out;
}

// RMS of x - reference over the reference's standard deviation.
double normalised_rms(const std::vector<float>& x, const std::vector<float>& reference) {
    const double mean = mean_of(reference.data(), reference.size());
    double diff = 0, var = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        diff += ((double)x[i] - reference[i]) * ((double)x[i] - reference[i]);
        var += (reference[i] - mean) * (reference[i] - mean);
    }
    return std::sqrt(diff / var);
}

double largest_difference(const Volume& a, const Volume& b) {
    double worst = a.v.size() == b.v.size() ? 0 : 1e30;
    for (size_t i = 0; i < a.v.size() && i < b.v.size(); ++i) worst = std::max(worst, (double)std::fabs(a.v[i] - b.v[i]));
    return worst;
}

}  // namespace

// Levels agree with each other and the truth (0.733 measured); level 3 warns on unpaired angles and runs level 2.
// SIRT follows the truth more closely than WBP and than one iteration (0.864, 0.733, 0.618 measured).
TEST_F(EndToEnd, PhantomSeriesAtEveryLevelAndWithSirt) {
    const Volume truth = read_volume(dir->file("p_truth.mrc"));
    ASSERT_EQ(truth.nx * 10000 + truth.ny * 100 + truth.nz, kWidth * 10000 + kThickness * 100 + kRows);
    std::vector<Volume> levels;
    std::vector<std::string> texts(4);
    for (int level = 0; level <= 3; ++level) {
        levels.push_back(run({"-s" + std::to_string(level)}, "s" + std::to_string(level) + ".mrc", &texts[level]));
        EXPECT_NE(texts[level].find("[WBP]Symmetry level: " + std::to_string(level) + "\n"), std::string::npos);
    }
    const std::vector<a> tilts = tilt_records(even_angles(61));
    const std::vector<float> no_samples;
    const wbp_ref::Reference ref({kWidth, kWidth, kThickness}, tilts, no_samples);
    const float* l1 = levels[1].section(kCentre);
    double range = 0;
    for (size_t q = 0; q < kSlice; ++q) range = std::max(range, (double)std::fabs(l1[q]));
    for (int level = 0; level <= 3; ++level) {
        const float* v = levels[level].section(kCentre);
        const double r = correlation(v, truth.section(kCentre), kSlice);
        printf("[ measure  ] level %d: central-slice correlation with the truth %.4f\n", level, r);
        EXPECT_GE(r, 0.70) << "level " << level;
        double worst = 0;
        for (size_t q = 0; q < kSlice; ++q)
            if (level <= 1 || ref.interior((int)(q % kWidth), (int)(q / kWidth)))
                worst = std::max(worst, (double)std::fabs(v[q] - l1[q]));
        EXPECT_LE(worst, 1e-5 * range) << "level " << level << " against level 1";
    }
    EXPECT_NE(texts[3].find("Warning: symmetry level 3 needs tilt-symmetric angles"), std::string::npos) << texts[3];
    EXPECT_EQ(texts[2].find("Warning"), std::string::npos);
    EXPECT_EQ(levels[3].v, levels[2].v);

    const Volume sirt = run({"-S", "-i30"}, "sirt30.mrc"), once = run({"-S", "-i1"}, "sirt1.mrc");
    const double wbp = correlation(levels[2].section(kCentre), truth.section(kCentre), kSlice);
    const double r30 = correlation(sirt.section(kCentre), truth.section(kCentre), kSlice),
                 r1 = correlation(once.section(kCentre), truth.section(kCentre), kSlice);
    printf("[ measure  ] SIRT: correlation with the truth %.4f after 30 iterations, %.4f after 1\n", r30, r1);
    EXPECT_GT(r30, 0.84);
    EXPECT_GT(r30, wbp + 0.08);
    EXPECT_GT(r30, r1 + 0.15);
    EXPECT_NEAR(mean_of(sirt.v.data(), sirt.v.size()) / mean_of(truth.v.data(), truth.v.size()), 1.0, 0.1);
}

// --sirt-like=10 matches -S -i10 over the interior (0.986 measured); one SIRT step is the flat filter of N = 1.
TEST_F(EndToEnd, SirtLikeLooksLikeSirtAtEveryLevel) {
    const std::vector<float> sirt = interior(run({"-S", "-i10"}, "sirt10.mrc"));
    const double wbp_rms = normalised_rms(interior(run({"-s2"}, "wbp.mrc")), sirt);
    Volume level2;
    for (int level = 0; level <= 3; ++level) {
        const Volume v = run({"-s" + std::to_string(level), "--sirt-like=10"}, "like.mrc");
        const std::vector<float> like = interior(v);
        const double r = correlation(like, sirt), ratio = normalised_rms(like, sirt) / wbp_rms;
        printf("[ measure  ] level %d, N = 10: correlation %.4f, RMS ratio %.4f\n", level, r, ratio);
        EXPECT_GE(r, 0.92) << "level " << level;
        EXPECT_LE(ratio, 0.25) << "level " << level;
        if (level == 2) level2 = v;
    }
    const std::string middle = dir->file("middle.mrc");
    ASSERT_EQ(run_skarbel({"-z48", "--sirt-like=10", "--slices=1,1", dir->file("p.tlt"), dir->file("p.mrc"), middle}).status, 0);
    const Volume m = read_volume(middle);
    ASSERT_EQ(m.v.size(), kSlice);
    EXPECT_EQ(std::memcmp(m.v.data(), level2.section(1), kSlice * sizeof(float)), 0);
    EXPECT_NE(run({"-s2", "--sirt-like=10", "--radial=0.2,0.02"}, "tapered.mrc").v, level2.v);

    const Volume once = run({"-S", "-i1"}, "sirt1.mrc");
    double range = 0;
    for (float v : once.v) range = std::max(range, (double)std::fabs(v));
    EXPECT_LE(largest_difference(run({"--sirt-like=1"}, "like1.mrc"), once), 1e-5 * range);
}

// The per-tilt gains count in the WBP runs' host memory, in --estimate as in its figures.
TEST(SirtLikeEstimate, CountsTheGains) {
    const std::vector<a> tilts = tilt_records({-60, -30, 0, 30, 60});
    const Geometry g = make_geometry(300, 5, 300, 40, 2);
    const RunEstimate plain = estimate_run(tilts.data(), g), like = estimate_run(tilts.data(), g, true);
    const double gains_mb = 4.0 * 5 * 1024 / 1048576.0;
    for (int m = 0; m < 4; ++m) EXPECT_DOUBLE_EQ(like.method[m].need.host_mb, plain.method[m].need.host_mb + gains_mb);
    EXPECT_DOUBLE_EQ(like.method[4].need.host_mb, plain.method[4].need.host_mb);
    EXPECT_DOUBLE_EQ(like.host_mb, plain.host_mb + gains_mb);
    TiltSeries t(300, 2, 5);  // its angles are those above
    const Captured r = run_skarbel({"--estimate", "--sirt-like=4", t.tlt, t.stack, t.out});
    char line[64];
    snprintf(line, sizeof line, "Host memory: %.2f Mb", estimate_run(tilts.data(), make_geometry(300, 5, 300, 300, 2), true).host_mb);
    EXPECT_NE(r.out.find(line), std::string::npos) << r.out << r.err;
}
