// The alignment options end to end, each against an independent reference.
#include "support/common.h"
#include <omp.h>

#include "method/detector_shift.h"
#include "support/tilts.h"
#include "support/volumes.h"
#include "tools/phantom.h"

namespace {

Volume run_volume(const std::vector<std::string>& args) {
    const Captured r = run_skarbel(args);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.status == 0 ? read_volume(args.back()) : Volume{};
}

std::vector<float> angles_from(double first, int n) {
    std::vector<float> v;
    for (int t = 0; t < n; ++t) v.push_back((float)(first + 4 * t));
    return v;
}

// The phantom projected at -60 .. 56 degrees, rows moved right by move samples. Returns {tlt, mrc}.
std::vector<std::string> write_phantom(const TempDir& dir, const std::string& name, const Phantom& p,
                                       const PhantomSize& size, int move = 0) {
    const std::vector<float> angles = angles_from(-60, 30), v = phantom_project(p, size, angles);
    std::vector<float> moved(v.size(), 0.0f);
    for (size_t q = 0; q < v.size(); ++q) {
        const int c = (int)(q % size.nx) - move;
        if (c >= 0 && c < size.nx) moved[q] = v[q - move];
    }
    write_test_stack(dir.file(name + ".mrc"), size.nx, size.ny, 30, 2, moved);
    write_tilt_file(dir.file(name + ".tlt"), angles);
    return {dir.file(name + ".tlt"), dir.file(name + ".mrc")};
}

// Spheres {x, y, z, radius, density}: in one row for the shifts, spread over rows for the X-axis tilt.
constexpr double kInRow[3][5] = {{-6, 0, 3, 7, 1.0}, {8, 0, -4, 5, 0.6}, {2, 0, 9, 3, -0.4}};
constexpr double kSpread[3][5] = {{-5, -4, 2, 6, 1.0}, {7, 5, -3, 4, 0.6}, {0, 1, 0, 3, -0.5}};

// The spheres moved by (dx, 0, dz), then rotated by angle_deg about the X axis.
Phantom spheres(const double (&table)[3][5], double dx, double dz, double angle_deg = 0) {
    const double c = std::cos(angle_deg * M_PI / 180), s = std::sin(angle_deg * M_PI / 180);
    Phantom p;
    for (const auto& e : table) {
        const double y = e[1], z = e[2] + dz;
        p.ellipsoids.push_back({e[0] + dx, y * c - z * s, y * s + z * c, e[3], e[3], e[3], 0, e[4]});
    }
    return p;
}

// Largest |a - b| over the voxels where near(i, j, z) holds, relative to the largest |b| there.
double worst_relative(const Volume& a, const Volume& b, const std::function<bool(int, int, int)>& near) {
    if (a.v.size() != b.v.size() || a.v.empty()) return 1e30;
    double worst = 0, range = 0;
    for (size_t q = 0; q < a.v.size(); ++q)
        if (near((int)(q % a.nx), (int)(q / a.nx % a.ny), (int)(q / a.nx / a.ny))) {
            worst = std::max(worst, (double)std::fabs(a.v[q] - b.v[q]));
            range = std::max(range, (double)std::fabs(b.v[q]));
        }
    return worst / range;
}

}  // namespace

// DELANG is added before anything else, the level-3 symmetry test included (the last case pairs up only after it).
TEST(Alignment, AngleOffsetEqualsShiftedTiltFile) {
    const struct {
        std::string options;
        double first, offset;
    } cases[] = {{"-s0", -60, -0.4}, {"--batch=1", -60, 2.5}, {"-S", -60, -0.4}, {"-s3", -60, 1.5}, {"-s3", -59, -1}};
    TiltSeries s(24, 3, 30);
    for (const auto& c : cases) {
        write_tilt_file(s.tlt, angles_from(c.first, 30));
        write_tilt_file(s.dir.file("sum.tlt"), angles_from(c.first + c.offset, 30));
        char offset[32];
        snprintf(offset, sizeof offset, "--offset=%g", c.offset);
        const Captured a = run_skarbel({c.options, "-i2", offset, s.tlt, s.stack, s.out});
        const Captured b = run_skarbel({c.options, "-i2", s.dir.file("sum.tlt"), s.stack, s.dir.file("ref.mrc")});
        ASSERT_EQ(a.status + b.status, 0) << a.err << b.err;
        EXPECT_EQ(read_file(s.out), read_file(s.dir.file("ref.mrc"))) << offset << " " << c.options;
        EXPECT_EQ(a.err, b.err) << offset;
        EXPECT_EQ(a.err.find("Warning") != std::string::npos, c.first == -60 && c.options == "-s3") << a.err;
    }
}

// DELXX against projections moved by whole pixels; DX, DZ against the moved phantom, within the
// interpolation error measured as the plain run of the moved phantom against the unmoved one moved.
TEST(Alignment, ShiftsAndAxisOffsetMatchMovedProjectionsAndPhantom) {
    const struct {
        std::string level;
        int axis, dx, dz;
    } cases[] = {{"-s0", 3, 0, 0}, {"-s3", -2, 0, 0},  {"-s1", 0, 2, 0}, {"-s2", 0, 0, 3},
                 {"-s3", 0, -2, 2}, {"-s2", 2, -1, 1}, {"-S", 0, 2, -1}};
    constexpr int kNx = 48, kThickness = 40;
    TempDir dir;
    const auto plain_of = [&](const std::vector<std::string>& series, const std::string& level, const std::string& out,
                              const std::vector<std::string>& options = {}) {
        std::vector<std::string> args = options;
        args.insert(args.end(), {level, "-i5", "-z40", series[0], series[1], dir.file(out)});
        return run_volume(args);
    };
    for (const auto& c : cases) {
        const auto plain = write_phantom(dir, "plain", spheres(kInRow, 0, 0), {kNx, 1, kThickness}, c.axis);
        const auto moved = write_phantom(dir, "moved", spheres(kInRow, c.dx, c.dz), {kNx, 1, kThickness});
        const std::string shift = "--shift=" + std::to_string(c.dx) + "," + std::to_string(c.dz);
        const Volume a = plain_of(plain, c.level, "a.mrc", {shift, "--offset=0," + std::to_string(c.axis)});
        const Volume b = plain_of(moved, c.level, "b.mrc");
        const auto near = [&](int i, int j, int) {  // 17 pixels: the spheres and the streaks near them
            const double x = i - (kNx - 1) / 2.0 - c.dx, z = j - (kThickness - 1) / 2.0 - c.dz;
            return x * x + z * z <= 17.0 * 17.0;
        };
        Volume unmoved = plain_of(write_phantom(dir, "still", spheres(kInRow, 0, 0), {kNx, 1, kThickness}), c.level,
                                  "u.mrc");
        std::vector<float> moved_whole(unmoved.v.size(), 0.0f);
        for (int j = std::max(0, c.dz); j < std::min(kThickness, kThickness + c.dz); ++j)
            for (int i = std::max(0, c.dx); i < std::min(kNx, kNx + c.dx); ++i)
                moved_whole[(size_t)j * kNx + i] = unmoved.v[(size_t)(j - c.dz) * kNx + i - c.dx];
        unmoved.v = moved_whole;
        const double worst = worst_relative(a, b, near), interpolation = worst_relative(unmoved, b, near);
        printf("[ measure  ] %s DELXX %d DX %d DZ %d: largest difference %.2e of the range (interpolation %.2e)\n",
               c.level.c_str(), c.axis, c.dx, c.dz, worst, interpolation);
        EXPECT_LE(worst, (c.dx == 0 && c.dz == 0 ? 0 : interpolation) + 1e-5) << shift << " " << c.axis << c.level;
    }
}

// Narrower and wider slices hold the centre columns of the full-width run, byte for byte.
TEST(Alignment, WidthEqualsCentreColumnsOfFullRun) {
    TiltSeries s(24, 3, 30);
    write_tilt_file(s.tlt, angles_from(-60, 30));
    for (const std::string level : {"-s0", "-s1", "-s2", "-s3"}) {
        const Volume full = run_volume({level, "-z20", s.tlt, s.stack, s.dir.file("full.mrc")});
        for (int width : {16, 30, 2}) {
            const Volume w = run_volume({level, "-z20", "--width=" + std::to_string(width), s.tlt, s.stack, s.out});
            ASSERT_EQ(w.nx * 10000 + w.ny * 100 + w.nz, width * 10000 + 20 * 100 + 3);
            const int narrow = std::min(width, 24), from_full = (24 - narrow) / 2, from_w = (width - narrow) / 2;
            bool same = true;
            for (int r = 0; r < 3 * 20; ++r)
                same = same && std::equal(w.v.begin() + r * width + from_w, w.v.begin() + r * width + from_w + narrow,
                                          full.v.begin() + r * 24 + from_full);
            EXPECT_TRUE(same) << level << " --width=" << width;
        }
    }
}

// Spheres rotated by A about X, run with --xaxis-tilt=A, fit the unrotated run far better than -A or
// nothing; voxels whose source lies beyond the stack's rows are 0.
TEST(Alignment, XaxisTiltFlattensRotatedPhantom) {
    constexpr int kNx = 40, kRows = 24, kThickness = 24;
    TempDir dir;
    const auto flat = write_phantom(dir, "flat", spheres(kSpread, 0, 0), {kNx, kRows, kThickness});
    const Volume reference = run_volume({"-z24", flat[0], flat[1], dir.file("ref.mrc")});
    const auto near = [&](const Volume& v) {
        std::vector<float> mine, ref;
        for (size_t q = 0; q < v.v.size(); ++q) {
            const int i = (int)(q % kNx), j = (int)(q / kNx % kThickness), y = (int)(q / kNx / kThickness);
            if (std::abs(2 * i - kNx + 1) > 26 || std::abs(2 * j - kThickness + 1) > 18 || std::abs(2 * y - kRows + 1) > 18)
                continue;
            mine.push_back(v.v[q]);
            ref.push_back(reference.v[q]);
        }
        return correlation(mine, ref);
    };
    for (const double angle : {12.0, -25.0}) {
        const auto tilted = write_phantom(dir, "tilted", spheres(kSpread, 0, 0, angle), {kNx, kRows, kThickness});
        double misfit[3];
        Volume v;
        for (int k = 0; k < 3; ++k) {  // the angle, its opposite, none
            const std::string option = "--xaxis-tilt=" + std::to_string(k == 1 ? -angle : angle);
            const Volume r = run_volume({k == 2 ? "-s2" : option, "-z24", tilted[0], tilted[1], dir.file("x.mrc")});
            ASSERT_EQ(r.v.size(), reference.v.size());
            misfit[k] = 1 - near(r);
            if (k == 0) v = r;
        }
        printf("[ measure  ] --xaxis-tilt=%g: correlation %.4f near the spheres (%.4f the wrong way, %.4f without)\n",
               angle, 1 - misfit[0], 1 - misfit[1], 1 - misfit[2]);
        EXPECT_LT(misfit[0], 0.03);
        EXPECT_LT(misfit[0], 0.5 * std::min(misfit[1], misfit[2])) << angle;
        const double ca = std::cos(angle * M_PI / 180), sa = std::sin(angle * M_PI / 180);
        double outside = 0;
        for (size_t q = 0; q < v.v.size(); ++q) {
            const double Z = (double)(q / kNx % kThickness) - (kThickness - 1) / 2.0, Y = (double)(q / kNx / kThickness);
            const double source = (Y - (kRows - 1) / 2.0) * ca - Z * sa + (kRows - 1) / 2.0;
            if (source < -1e-9 || source > kRows - 1 + 1e-9) outside = std::max(outside, (double)std::fabs(v.v[q]));
        }
        EXPECT_EQ(outside, 0.0) << angle;
    }
}

// --bin=N against the stack binned by a loop: the same samples, lengths in stack pixels, N times the voxel size.
TEST(Alignment, BinEqualsDirectlyBinnedStack) {
    const struct {
        int n, nx, ny, mode;
        std::vector<std::string> binned, direct;
    } cases[] = {
        {2, 25, 7, 2, {"-z16"}, {"-z8"}},
        {3, 26, 10, 1, {"-s0", "-z14", "--width=20"}, {"-s0", "-z5", "--width=7"}},
        {2, 24, 6, 0, {"-S", "-i2", "-z16", "--shift=4,-2", "--offset=1.5,6"},
         {"-S", "-i2", "-z8", "--shift=2,-1", "--offset=1.5,3"}},
        {2, 24, 9, 2, {"-s3", "-z16", "--slices=1,2", "--xaxis-tilt=10"}, {"-s3", "-z8", "--slices=1,2", "--xaxis-tilt=10"}},
    };
    for (const auto& c : cases) {
        TiltSeries s(c.nx, c.ny, 31, c.mode);
        std::string input = read_file(s.stack);
        for (const auto& [offset, v] : {std::pair{28, c.nx}, {32, c.ny}}) put_i32(input, offset, v);
        put_f32(input, 40, 1.5f * c.nx);  // spacing 1.5 along X, 2 along Y
        put_f32(input, 44, 2.0f * c.ny);
        write_file(s.stack, input);
        const Decoder in{input, std::endian::native == std::endian::little};
        const int bx = c.nx / c.n, by = c.ny / c.n, x0 = (c.nx % c.n) / 2, y0 = (c.ny % c.n) / 2;
        const int bytes = c.mode == 0 ? 1 : c.mode * 2;
        std::vector<float> binned((size_t)bx * by * 31);
        for (size_t b = 0; b < binned.size(); ++b) {
            const size_t x = b % bx, y = b / bx % by, t = b / bx / by;
            double sum = 0;
            for (int k = 0; k < c.n * c.n; ++k)
                sum += in.sample(c.mode, 1024 + bytes * (((t * c.ny + y0 + y * c.n + k / c.n) * c.nx) + x0 + x * c.n +
                                                         k % c.n));
            binned[b] = (float)(sum / (c.n * c.n));
        }
        write_test_stack(s.dir.file("direct.mrc"), bx, by, 31, 2, binned);
        std::vector<std::string> with = c.binned, without = c.direct;
        with.insert(with.end(), {"--bin=" + std::to_string(c.n), s.tlt, s.stack, s.out});
        without.insert(without.end(), {s.tlt, s.dir.file("direct.mrc"), s.dir.file("ref.mrc")});
        ASSERT_EQ(run_skarbel(with).status + run_skarbel(without).status, 0) << c.n;
        const std::string out = read_file(s.out), expected = read_file(s.dir.file("ref.mrc"));
        EXPECT_EQ(out.substr(1024), expected.substr(1024)) << "--bin=" << c.n << " " << c.binned[0];
        EXPECT_EQ(out.substr(0, 12), expected.substr(0, 12));
        const Decoder o{out, std::endian::native == std::endian::little};
        for (int axis = 0; axis < 3; ++axis)
            EXPECT_FLOAT_EQ(o.f32(40 + 4 * axis), (axis == 2 ? 2.0f : 1.5f) * c.n * o.i32(4 * axis)) << axis;
    }
}

// A range gives the sections of the whole run, and the header of a run on only those rows but for NZSTART.
TEST(Alignment, SliceRangesAreSectionsOfTheWholeRun) {
    TiltSeries s(24, 8, 31);
    const struct {
        std::vector<std::string> options;
        int first, last;
    } cases[] = {
        {{"-s2"}, 0, 0}, {{"-s2"}, 7, 7}, {{"-S", "-i2"}, 1, 7}, {{"-s0"}, 0, 7},
        {{"-s1", "--offset=-0.4,2.5"}, 2, 3}, {{"-s2", "--shift=1.5,-3"}, 2, 3}, {{"-s0", "--width=15"}, 2, 3},
        {{"-s3", "--xaxis-tilt=-8"}, 2, 3}, {{"-S", "-i2", "--bin=2"}, 1, 2},
    };
    for (const auto& c : cases) {
        const std::string what = c.options.back() + " " + std::to_string(c.first), whole = s.dir.file("whole.mrc");
        const auto run = [&](std::vector<std::string> args, const std::string& stack, const std::string& out) {
            args.insert(args.end(), c.options.begin(), c.options.end());
            args.insert(args.end(), {"-z10", s.tlt, stack, out});
            return run_skarbel(args);
        };
        ASSERT_EQ(run({}, s.stack, whole).status + run({"--batch=3"}, s.stack, s.out).status, 0) << what;
        const std::string w = read_file(whole);
        EXPECT_TRUE(read_file(s.out) == w) << what;
        const int count = c.last - c.first + 1;
        const Captured r = run({"--slices=" + std::to_string(c.first) + "," + std::to_string(c.last)}, s.stack, s.out);
        ASSERT_EQ(r.status, 0) << what << r.err;
        const std::string part = read_file(s.out);
        const size_t section = (w.size() - 1024) / (size_t)i32_at(w, 8);
        EXPECT_TRUE(part.substr(1024) == w.substr(1024 + c.first * section, count * section)) << what;
        char progress[64];
        snprintf(progress, sizeof progress, "**Slice: %4d / %d\r\n\n", count, count);
        EXPECT_TRUE(r.out.ends_with(progress)) << what;
        if (c.options.back()[1] == '-') continue;
        std::vector<float> rows;  // the samples TiltSeries wrote in those rows
        for (int z = 0; z < 31; ++z)
            for (int q = (z * 8 + c.first) * 24; q < (z * 8 + c.last + 1) * 24; ++q) rows.push_back((float)((q * 29 + 3) % 251));
        write_test_stack(s.dir.file("rows.mrc"), 24, count, 31, 2, rows);
        ASSERT_EQ(run({}, s.dir.file("rows.mrc"), s.dir.file("rows.out")).status, 0) << what;
        std::string expected = read_file(s.dir.file("rows.out")).substr(0, 1024);
        put_i32(expected, 24, c.first);
        EXPECT_TRUE(part.substr(0, 1024) == expected) << what;
    }
    // Binned by 2: 12 x 4 rows; -z10 and --width=15 give 5 and 8 (7.5 rounded up).
    const Captured e = run_skarbel({"--estimate", "--bin=2", "-z10", "--width=15", "--xaxis-tilt=30", s.tlt, s.stack,
                                    s.out});
    EXPECT_NE(e.out.find("Output file: " + std::to_string(1024 + 4 * 8 * 5 * 4) + " bytes, "), std::string::npos)
        << e.out << e.err;
}

namespace {

// A smooth bump, 0 at the row's ends.
double bump(double q, double centre) { return std::exp(-(q - centre) * (q - centre) / (2.0 * 3.0 * 3.0)); }

}  // namespace

// The per-tilt move of sinogram rows against the bump sampled at q + s in double precision, at any thread count.
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
