// --sirt-like=N end to end on skarbel_phantom's tilt series: against -S -iN over
// the interior of the slices (5 % of the width and thickness away from the
// edges, where SIRT's confinement to the slab and its ray lengths differ), at
// every level and with --slices; one iteration equals -S -i1; and the refusals.
#include "support/common.h"

#include "driver/estimate.h"
#include "support/tilts.h"
#include "support/volumes.h"

namespace {

constexpr int kWidth = 96, kRows = 3, kThickness = 48;

// The interior of every slice of a volume written as kWidth x kThickness x kRows.
std::vector<double> interior(const Volume& v) {
    const int mx = (int)std::lround(0.05 * kWidth), mz = (int)std::lround(0.05 * kThickness);
    std::vector<double> out;
    for (int y = 0; y < v.nz; ++y)
        for (int j = mz; j < kThickness - mz; ++j)
            for (int i = mx; i < kWidth - mx; ++i) out.push_back(v.section(y)[(size_t)j * kWidth + i]);
    return out;
}

double pearson(const std::vector<double>& x, const std::vector<double>& y) {
    double mx = 0, my = 0;
    for (size_t i = 0; i < x.size(); ++i) mx += x[i], my += y[i];
    mx /= (double)x.size(), my /= (double)y.size();
    double sxy = 0, sxx = 0, syy = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        sxy += (x[i] - mx) * (y[i] - my);
        sxx += (x[i] - mx) * (x[i] - mx);
        syy += (y[i] - my) * (y[i] - my);
    }
    return sxy / std::sqrt(sxx * syy);
}

// RMS of x - reference over the reference's standard deviation.
double normalised_rms(const std::vector<double>& x, const std::vector<double>& reference) {
    double mean = 0, diff = 0, var = 0;
    for (double r : reference) mean += r;
    mean /= (double)reference.size();
    for (size_t i = 0; i < x.size(); ++i) {
        diff += (x[i] - reference[i]) * (x[i] - reference[i]);
        var += (reference[i] - mean) * (reference[i] - mean);
    }
    return std::sqrt(diff / var);
}

struct Series {
    TempDir dir;
    std::string prefix = dir.file("p");
    Series() {
        const Captured p = run_program({SKARBEL_PHANTOM_BIN, "-x96", "-y3", "-z48", "-t61", "-r60", prefix});
        EXPECT_EQ(p.status, 0) << p.err;
    }
    Volume run(std::vector<std::string> args, const std::string& name) const {
        args.insert(args.begin(), "-z48");
        args.insert(args.end(), {prefix + ".tlt", prefix + ".mrc", dir.file(name)});
        const Captured r = run_skarbel(args);
        EXPECT_EQ(r.status, 0) << name << ": " << r.err;
        return read_volume(dir.file(name));
    }
};

}  // namespace

// Measured on this series at N = 10: correlation 0.986 and RMS ratio 0.134 at
// every level (the figures on 512 x 16 x 61 are in the README).
TEST(SirtLike, TenIterationsLookLikeSirtAtEveryLevel) {
    const Series s;
    const std::vector<double> sirt = interior(s.run({"-S", "-i10"}, "sirt.mrc"));
    const std::vector<double> wbp = interior(s.run({"-s2"}, "wbp.mrc"));
    const double wbp_rms = normalised_rms(wbp, sirt);
    Volume level2;
    for (int level = 0; level <= 3; ++level) {
        const std::string l = std::to_string(level);
        const Volume v = s.run({"-s" + l, "--sirt-like=10"}, "like" + l + ".mrc");
        ASSERT_EQ(v.nx * 10000 + v.ny * 100 + v.nz, kWidth * 10000 + kThickness * 100 + kRows);
        const std::vector<double> like = interior(v);
        const double r = pearson(like, sirt), ratio = normalised_rms(like, sirt) / wbp_rms;
        printf("[ measure  ] level %d, N = 10: correlation %.4f, RMS ratio %.4f\n", level, r, ratio);
        EXPECT_GE(r, 0.92) << "level " << level;
        EXPECT_LE(ratio, 0.25) << "level " << level;
        if (level == 2) level2 = v;
    }
    // --slices takes its slices from the same filter.
    const Volume middle = s.run({"-s2", "--sirt-like=10", "--slices=1,1"}, "middle.mrc");
    ASSERT_EQ(middle.v.size(), (size_t)kWidth * kThickness);
    EXPECT_EQ(std::memcmp(middle.v.data(), level2.section(1), middle.v.size() * sizeof(float)), 0);
    // --radial tapers the filter: a different volume.
    EXPECT_NE(s.run({"-s2", "--sirt-like=10", "--radial=0.2,0.02"}, "tapered.mrc").v, level2.v);
}

// One SIRT step from zero is the back-projection of the rows scaled by
// |cos a| / thickness / ntilts, which is what the flat filter of N = 1 gives.
TEST(SirtLike, OneIterationEqualsOneSirtIteration) {
    const Series s;
    const Volume sirt = s.run({"-S", "-i1"}, "sirt1.mrc"), like = s.run({"--sirt-like=1"}, "like1.mrc");
    ASSERT_EQ(like.v.size(), sirt.v.size());
    double range = 0, worst = 0;
    for (size_t i = 0; i < sirt.v.size(); ++i) {
        range = std::max(range, (double)std::fabs(sirt.v[i]));
        worst = std::max(worst, (double)std::fabs(like.v[i] - sirt.v[i]));
    }
    EXPECT_LE(worst, 1e-5 * range);
}

TEST(SirtLike, RefusalsNameTheOptionAndWriteNothing) {
    const std::string range = ": expected a number of SIRT iterations from 1 to 1000000.\n\n";
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"-S", "--sirt-like=3"},
         "Options -S and --sirt-like exclude each other: --sirt-like shapes the filter of a weighted "
         "back-projection (drop -S), -S runs SIRT itself (drop --sirt-like).\n\n"},
        {{"--sirt-like=5", "-S", "-i5"},
         "Options -S and --sirt-like exclude each other: --sirt-like shapes the filter of a weighted "
         "back-projection (drop -S), -S runs SIRT itself (drop --sirt-like).\n\n"},
        {{"--sirt-like=0"}, "Bad --sirt-like value \"0\"" + range},
        {{"--sirt-like=-2"}, "Bad --sirt-like value \"-2\"" + range},
        {{"--sirt-like=1000001"}, "Bad --sirt-like value \"1000001\"" + range},
        {{"--sirt-like=2.5"}, "Bad --sirt-like value \"2.5\"" + range},
        {{"--sirt-like= 3"}, "Bad --sirt-like value \" 3\"" + range},
        {{"--sirt-like="}, "Bad --sirt-like value \"\"" + range},
        {{"--sirt-like"}, "Option --sirt-like needs a value: --sirt-like=...\n\n"},
    };
    TiltSeries t(8, 2, 5);
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        for (const std::string& f : t.files()) args.push_back(f);
        const Captured r = run_skarbel(args);
        EXPECT_EQ(r.status, 255) << c.args[0];
        EXPECT_EQ(r.err, c.err) << c.args[0];
        EXPECT_FALSE(std::filesystem::exists(t.out)) << c.args[0];
    }
    const Captured help = run_skarbel({"--help"});
    EXPECT_NE(help.out.find("--sirt-like=N"), std::string::npos);
}

// The per-tilt gains (4 bytes per tilt and transform element) count in the host
// memory of the WBP runs, on the command line's --estimate as in its figures.
TEST(SirtLike, EstimateCountsTheGains) {
    const std::vector<a> tilts = tilt_records({-60, -30, 0, 30, 60});
    const Geometry g = make_geometry(300, 5, 300, 40, 2);
    const RunEstimate plain = estimate_run(tilts.data(), g), like = estimate_run(tilts.data(), g, true);
    const double gains_mb = 4.0 * 5 * 1024 / 1048576.0;
    for (int m = 0; m < 4; ++m) EXPECT_DOUBLE_EQ(like.method[m].need.host_mb, plain.method[m].need.host_mb + gains_mb);
    EXPECT_DOUBLE_EQ(like.method[4].need.host_mb, plain.method[4].need.host_mb);
    EXPECT_DOUBLE_EQ(like.host_mb, plain.host_mb + gains_mb);
    TiltSeries t(300, 2, 5);
    const std::vector<a> five = tilt_records(even_angles(5));
    const Geometry run = make_geometry(300, 5, 300, 300, 2);
    for (bool sirt_like : {false, true}) {
        std::vector<std::string> args{"--estimate", t.tlt, t.stack, t.out};
        if (sirt_like) args.insert(args.begin(), "--sirt-like=4");
        const Captured r = run_skarbel(args);
        ASSERT_EQ(r.status, 0) << r.err;
        char line[64];
        snprintf(line, sizeof line, "Host memory: %.2f Mb", estimate_run(five.data(), run, sirt_like).host_mb);
        EXPECT_NE(r.out.find(line), std::string::npos) << sirt_like << " " << r.out;
    }
}
