// The options of an aligned stack (--offset, --shift, --width, --xaxis-tilt,
// --bin) end to end, each against an independent reference: a tilt file with
// the offset added, phantoms moved or rotated and projected by exact line
// integrals, the centre columns of a full-width run, a stack binned by a
// direct loop.
#include "support/common.h"

#include "support/volumes.h"
#include "tools/phantom.h"

namespace {

// Runs skarbel on the host; a failure is reported and gives an empty volume.
Volume run_volume(const std::vector<std::string>& args) {
    const Captured r = run_skarbel(args);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.status == 0 ? read_volume(args.back()) : Volume{};
}

// A phantom of spheres projected at the given angles into dir/name.mrc and .tlt.
struct PhantomSeries {
    std::string tlt, mrc;
};

PhantomSeries write_phantom(const TempDir& dir, const std::string& name, const Phantom& p, const PhantomSize& size,
                            const std::vector<float>& angles, int move_columns = 0) {
    std::vector<float> v = phantom_project(p, size, angles);
    if (move_columns != 0) {  // every projection row moved right by move_columns samples, 0 shifted in
        std::vector<float> moved(v.size(), 0.0f);
        for (size_t row = 0; row < v.size() / size.nx; ++row)
            for (int c = 0; c < size.nx; ++c)
                if (c - move_columns >= 0 && c - move_columns < size.nx)
                    moved[row * size.nx + c] = v[row * size.nx + c - move_columns];
        v = moved;
    }
    PhantomSeries s{dir.file(name + ".tlt"), dir.file(name + ".mrc")};
    write_test_stack(s.mrc, size.nx, size.ny, (int)angles.size(), 2, v);
    write_tilt_file(s.tlt, angles);
    return s;
}

Phantom spheres(double dx = 0, double dz = 0) {
    Phantom p;
    p.ellipsoids = {{-6 + dx, 0, 3 + dz, 7, 7, 7, 0, 1.0}, {8 + dx, 0, -4 + dz, 5, 5, 5, 0, 0.6},
                    {2 + dx, 0, 9 + dz, 3, 3, 3, 0, -0.4}};
    return p;
}

// Largest |a - b| over the pixels of every section for which inside(i, j) holds,
// relative to the largest |b| there.
double worst_relative(const Volume& a, const Volume& b, const std::function<bool(int, int)>& inside) {
    if (a.v.size() != b.v.size() || a.v.empty()) return 1e30;
    double worst = 0, range = 0;
    for (int z = 0; z < a.nz; ++z)
        for (int j = 0; j < a.ny; ++j)
            for (int i = 0; i < a.nx; ++i) {
                if (!inside(i, j)) continue;
                const size_t q = ((size_t)z * a.ny + j) * a.nx + i;
                worst = std::max(worst, (double)std::fabs(a.v[q] - b.v[q]));
                range = std::max(range, (double)std::fabs(b.v[q]));
            }
    return worst / range;
}

std::string bytes_after_header(const std::string& path) { return read_file(path).substr(1024); }

}  // namespace

// DELANG is added to every angle before anything else, the level-3 symmetry
// test included: a run equals, byte for byte, the run of a tilt file holding
// the sums. The second level-3 case pairs up only after the offset.
TEST(Alignment, AngleOffsetEqualsShiftedTiltFile) {
    const struct {
        std::vector<std::string> options;
        double first, offset;  // angles first, first + 4, ... over 30 tilts
    } cases[] = {
        {{"-s0"}, -60, -0.4}, {{"-s2", "--batch=1"}, -60, 2.5}, {{"-S", "-i2"}, -60, -0.4},
        {{"-s3"}, -60, 1.5},  // breaks the pairs: level 2 with the warning, as the summed file
        {{"-s3"}, -59, -1},   // pairs up (-60 .. 56, angle(30 - t) = -angle(t)): level 3 without a warning
    };
    TiltSeries s(24, 3, 30);
    for (const auto& c : cases) {
        std::vector<float> plain, summed;
        for (int t = 0; t < 30; ++t) {
            plain.push_back((float)(c.first + 4 * t));
            summed.push_back((float)(c.first + 4 * t + c.offset));
        }
        write_tilt_file(s.tlt, plain);
        const std::string summed_tlt = s.dir.file("summed.tlt"), ref = s.dir.file("ref.mrc");
        write_tilt_file(summed_tlt, summed);
        char offset[32];
        snprintf(offset, sizeof offset, "--offset=%g", c.offset);
        std::vector<std::string> with = c.options, without = c.options;
        with.insert(with.end(), {offset, s.tlt, s.stack, s.out});
        without.insert(without.end(), {summed_tlt, s.stack, ref});
        const Captured a = run_skarbel(with), b = run_skarbel(without);
        ASSERT_EQ(a.status, 0) << a.err;
        ASSERT_EQ(b.status, 0) << b.err;
        EXPECT_EQ(read_file(s.out), read_file(ref)) << offset << " " << c.options[0];
        EXPECT_EQ(a.err, b.err) << offset;
        EXPECT_EQ(a.err.find("Warning") != std::string::npos, c.first == -60 && c.options[0] == "-s3") << a.err;
    }
}

// DELXX against projections moved by whole pixels, DX and DZ (whole pixels)
// against the phantom moved by them, both projected exactly and run without
// the options: equal near the objects up to rounding for DELXX alone (a whole
// sample) and otherwise within the error of the matrices' linear interpolation,
// which samples a moved object at other fractions of a detector sample. That
// error is measured on the same phantoms: the plain run of the moved phantom
// against the plain run of the unmoved one moved by DX, DZ pixels.
TEST(Alignment, ShiftsAndAxisOffsetMatchMovedProjectionsAndPhantom) {
    const struct {
        std::string level;
        int axis, dx, dz;  // DELXX moves the projections, DX and DZ the phantom
    } cases[] = {
        {"-s0", 3, 0, 0}, {"-s3", -2, 0, 0}, {"-s1", 0, 2, 0},  {"-s2", 0, 0, 3},
        {"-s3", 0, -2, 2}, {"-s2", 2, -1, 1}, {"-S", 0, 2, -1},
    };
    constexpr int kNx = 48, kThickness = 40;
    const PhantomSize size{kNx, 1, kThickness};
    std::vector<float> angles;
    for (int t = 0; t < 30; ++t) angles.push_back(-60.0f + 4.0f * t);
    TempDir dir;
    for (const auto& c : cases) {
        const PhantomSeries plain = write_phantom(dir, "plain", spheres(), size, angles, c.axis);
        const PhantomSeries moved = write_phantom(dir, "moved", spheres(c.dx, c.dz), size, angles);
        const std::string shift = "--shift=" + std::to_string(c.dx) + "," + std::to_string(c.dz);
        const std::string offset = "--offset=0," + std::to_string(c.axis);
        std::vector<std::string> opt{c.level, "-z40"};
        if (c.level == "-S") opt.push_back("-i5");
        std::vector<std::string> with = opt, without = opt, unmoved = opt;
        with.insert(with.end(), {shift, offset, plain.tlt, plain.mrc, dir.file("with.mrc")});
        without.insert(without.end(), {moved.tlt, moved.mrc, dir.file("without.mrc")});
        const Volume a = run_volume(with), b = run_volume(without);
        // The spheres reach 13 pixels from the centre; 17 keeps the streaks near them.
        const auto near = [&](int i, int j) {
            const double x = i - (kNx - 1) / 2.0 - c.dx, z = j - (kThickness - 1) / 2.0 - c.dz;
            return x * x + z * z <= 17.0 * 17.0;
        };
        const double worst = worst_relative(a, b, near);
        double interpolation = 0;
        if (c.dx != 0 || c.dz != 0) {
            const PhantomSeries still = write_phantom(dir, "still", spheres(), size, angles);
            unmoved.insert(unmoved.end(), {still.tlt, still.mrc, dir.file("still_out.mrc")});
            Volume u = run_volume(unmoved), moved_u = u;
            for (int j = 0; j < kThickness; ++j)
                for (int i = 0; i < kNx; ++i) {
                    const int fi = i - c.dx, fj = j - c.dz;
                    const bool in = fi >= 0 && fi < kNx && fj >= 0 && fj < kThickness;
                    moved_u.v[(size_t)j * kNx + i] = in ? u.v[(size_t)fj * kNx + fi] : 0.0f;
                }
            interpolation = worst_relative(moved_u, b, near);
        }
        printf("[ measure  ] %s DELXX %d DX %d DZ %d: largest difference %.2e of the range (interpolation %.2e)\n",
               c.level.c_str(), c.axis, c.dx, c.dz, worst, interpolation);
        EXPECT_LE(worst, interpolation + 1e-5) << shift << " " << offset << " " << c.level;
    }
}

// A narrower or wider slice of the same parity as NX holds the centre columns
// of the full-width run (or is them, padded), byte for byte at every WBP level.
TEST(Alignment, WidthEqualsCentreColumnsOfFullRun) {
    TiltSeries s(24, 3, 30);
    std::vector<float> angles;
    for (int t = 0; t < 30; ++t) angles.push_back(-60.0f + 4.0f * t);
    write_tilt_file(s.tlt, angles);  // paired: level 3 runs
    for (const std::string level : {"-s0", "-s1", "-s2", "-s3"}) {
        const Volume full = run_volume({level, "-z20", s.tlt, s.stack, s.dir.file("full.mrc")});
        for (int width : {16, 30, 2}) {
            const Volume w =
                run_volume({level, "-z20", "--width=" + std::to_string(width), s.tlt, s.stack, s.out});
            ASSERT_EQ(w.nx * 10000 + w.ny * 100 + w.nz, width * 10000 + 20 * 100 + 3);
            const int narrow = std::min(width, 24), from_full = (24 - narrow) / 2, from_w = (width - narrow) / 2;
            bool same = true;
            for (int z = 0; z < 3; ++z)
                for (int j = 0; j < 20; ++j)
                    same = same && std::equal(w.section(z) + j * width + from_w,
                                              w.section(z) + j * width + from_w + narrow,
                                              full.section(z) + j * 24 + from_full);
            EXPECT_TRUE(same) << level << " --width=" << width;
        }
    }
}

// A phantom of spheres rotated by A about the X axis and projected exactly,
// reconstructed with --xaxis-tilt=A, against the unrotated phantom
// reconstructed without it. Output voxels whose source lies beyond the stack's
// rows are 0. An output-slice range is byte for byte the sections of the whole run.
TEST(Alignment, XaxisTiltFlattensRotatedPhantom) {
    constexpr int kNx = 40, kRows = 24, kThickness = 24;
    const PhantomSize size{kNx, kRows, kThickness};
    std::vector<float> angles;
    for (int t = 0; t < 31; ++t) angles.push_back(-60.0f + 4.0f * t);
    const struct {
        double angle, correlation;
    } cases[] = {{12, 0.97}, {-25, 0.95}};
    TempDir dir;
    Phantom flat;
    flat.ellipsoids = {{-5, -4, 2, 6, 6, 6, 0, 1.0}, {7, 5, -3, 4, 4, 4, 0, 0.6}, {0, 1, 0, 3, 3, 3, 0, -0.5}};
    const PhantomSeries plain = write_phantom(dir, "flat", flat, size, angles);
    const Volume reference = run_volume({"-s2", "-z24", plain.tlt, plain.mrc, dir.file("flat_out.mrc")});
    for (const auto& c : cases) {
        const double ca = std::cos(c.angle * M_PI / 180), sa = std::sin(c.angle * M_PI / 180);
        Phantom rotated = flat;
        for (Ellipsoid& e : rotated.ellipsoids) {
            const double y = e.cy, z = e.cz;
            e.cy = y * ca - z * sa;
            e.cz = y * sa + z * ca;
        }
        const PhantomSeries tilted = write_phantom(dir, "tilted", rotated, size, angles);
        // The correlation with the reference over the voxels near the spheres,
        // for the rotation undone, the wrong way, and not at all.
        double corr[3];
        const std::string option = "--xaxis-tilt=" + std::to_string(c.angle), out = dir.file("x.mrc");
        const std::vector<std::string> runs[3] = {{option}, {"--xaxis-tilt=" + std::to_string(-c.angle)}, {}};
        Volume v;
        for (int k = 0; k < 3; ++k) {
            std::vector<std::string> args = runs[k];
            args.insert(args.end(), {"-s2", "-z24", tilted.tlt, tilted.mrc, k == 0 ? out : dir.file("other.mrc")});
            const Volume r = run_volume(args);
            ASSERT_EQ(r.nx * 10000 + r.ny * 100 + r.nz, kNx * 10000 + kThickness * 100 + kRows);
            std::vector<float> near, ref;
            for (int y = 0; y < kRows; ++y)
                for (int j = 0; j < kThickness; ++j)
                    for (int i = 0; i < kNx; ++i) {
                        const double Y = y - (kRows - 1) / 2.0, Z = j - (kThickness - 1) / 2.0;
                        if (std::fabs(Y) > 9 || std::fabs(Z) > 9 || std::fabs(i - (kNx - 1) / 2.0) > 13) continue;
                        near.push_back(r.v[((size_t)y * kThickness + j) * kNx + i]);
                        ref.push_back(reference.v[((size_t)y * kThickness + j) * kNx + i]);
                    }
            corr[k] = correlation(near, ref);
            if (k == 0) v = r;
        }
        printf("[ measure  ] --xaxis-tilt=%g: correlation %.4f near the spheres (%.4f the wrong way, %.4f without)\n",
               c.angle, corr[0], corr[1], corr[2]);
        EXPECT_GT(corr[0], c.correlation) << option;
        // Less than half the misfit of either other run.
        EXPECT_LT(1 - corr[0], 0.5 * (1 - corr[1])) << option;
        EXPECT_LT(1 - corr[0], 0.5 * (1 - corr[2])) << option;
        // Voxels whose source lies beyond the stack's rows are 0.
        double outside = 0;
        for (int y = 0; y < kRows; ++y)
            for (int j = 0; j < kThickness; ++j) {
                const double Y = y - (kRows - 1) / 2.0, Z = j - (kThickness - 1) / 2.0;
                const double source = Y * ca - Z * sa + (kRows - 1) / 2.0;
                if (source >= -1e-9 && source <= kRows - 1 + 1e-9) continue;
                for (int i = 0; i < kNx; ++i)
                    outside = std::max(outside, (double)std::fabs(v.v[((size_t)y * kThickness + j) * kNx + i]));
            }
        EXPECT_EQ(outside, 0.0) << option;
        // Output slices 5 to 9 alone: the same sections.
        const std::string part = dir.file("part.mrc"), slab = read_file(out).substr(1024 + 5 * 4 * kNx * kThickness,
                                                                                     5 * 4 * kNx * kThickness);
        ASSERT_EQ(run_skarbel({"-s2", "-z24", "--slices=5,9", option, tilted.tlt, tilted.mrc, part}).status, 0);
        EXPECT_EQ(bytes_after_header(part), slab) << option;
    }
}

// --bin=N against the stack binned by a direct loop (blocks of N x N, the
// remainder dropped on both sides, the extra pixel at the end) and run without
// it, with every length given in pixels of the stack as stored: the same
// samples. The voxel size grows N times.
TEST(Alignment, BinEqualsDirectlyBinnedStack) {
    const struct {
        int n, nx, ny, mode;
        std::vector<std::string> binned, direct;  // options of the run with --bin, and of the direct one
    } cases[] = {
        {2, 25, 7, 2, {"-s2", "-z16"}, {"-s2", "-z8"}},
        {3, 26, 10, 1, {"-s0", "-z14", "--width=20"}, {"-s0", "-z5", "--width=7"}},
        {2, 24, 6, 0, {"-S", "-i2", "-z16", "--shift=4,-2", "--offset=1.5,6"}, {"-S", "-i2", "-z8", "--shift=2,-1",
                                                                               "--offset=1.5,3"}},
        {2, 24, 9, 2, {"-s3", "-z16", "--slices=1,2", "--xaxis-tilt=10"}, {"-s3", "-z8", "--slices=1,2",
                                                                          "--xaxis-tilt=10"}},
    };
    for (const auto& c : cases) {
        TiltSeries s(c.nx, c.ny, 31, c.mode);
        std::string input = read_file(s.stack);
        put_i32(input, 28, c.nx);  // MX, MY and CELLA: spacing 1.5 along X, 2 along Y
        put_i32(input, 32, c.ny);
        put_f32(input, 40, 1.5f * c.nx);
        put_f32(input, 44, 2.0f * c.ny);
        write_file(s.stack, input);
        const Decoder in{input, std::endian::native == std::endian::little};
        const int bx = c.nx / c.n, by = c.ny / c.n, x0 = (c.nx % c.n) / 2, y0 = (c.ny % c.n) / 2;
        const int bytes = c.mode == 0 ? 1 : c.mode == 1 ? 2 : 4;
        std::vector<float> binned((size_t)bx * by * 31);
        for (int t = 0; t < 31; ++t)
            for (int y = 0; y < by; ++y)
                for (int x = 0; x < bx; ++x) {
                    double sum = 0;
                    for (int dy = 0; dy < c.n; ++dy)
                        for (int dx = 0; dx < c.n; ++dx) {
                            const size_t at = ((size_t)t * c.ny + y0 + y * c.n + dy) * c.nx + x0 + x * c.n + dx;
                            sum += in.sample(c.mode, 1024 + at * bytes);
                        }
                    binned[((size_t)t * by + y) * bx + x] = (float)(sum / (c.n * c.n));
                }
        const std::string direct_stack = s.dir.file("direct.mrc"), ref = s.dir.file("ref.mrc");
        write_test_stack(direct_stack, bx, by, 31, 2, binned);
        std::vector<std::string> with = c.binned, without = c.direct;
        with.insert(with.end(), {"--bin=" + std::to_string(c.n), s.tlt, s.stack, s.out});
        without.insert(without.end(), {s.tlt, direct_stack, ref});
        const Captured a = run_skarbel(with), b = run_skarbel(without);
        ASSERT_EQ(a.status, 0) << a.err;
        ASSERT_EQ(b.status, 0) << b.err;
        const std::string out = read_file(s.out), expected = read_file(ref);
        EXPECT_EQ(out.substr(1024), expected.substr(1024)) << "--bin=" << c.n << " " << c.binned[0];
        // Same sizes; the cell is N times the input's spacing times those sizes.
        EXPECT_EQ(out.substr(0, 12), expected.substr(0, 12));
        const Decoder o{out, std::endian::native == std::endian::little};
        EXPECT_FLOAT_EQ(o.f32(40), 1.5f * c.n * o.i32(0));
        EXPECT_FLOAT_EQ(o.f32(44), 1.5f * c.n * o.i32(4));
        EXPECT_FLOAT_EQ(o.f32(48), 2.0f * c.n * o.i32(8));
    }
}

// Each option with --slices gives the sections of the whole run, and with
// another batch size the same file; --estimate
// counts the output of the run as configured.
TEST(Alignment, SliceRangesAndEstimate) {
    TiltSeries s(24, 8, 31);
    const std::vector<std::vector<std::string>> cases = {
        {"-s1", "--offset=-0.4,2.5"}, {"-s2", "--shift=1.5,-3"}, {"-s0", "--width=15"},
        {"-s3", "--xaxis-tilt=-8"},   {"-S", "-i2", "--bin=2"},
    };
    for (const auto& options : cases) {
        std::vector<std::string> whole = options, part = options;
        whole.insert(whole.end(), {"-z10", s.tlt, s.stack, s.dir.file("whole.mrc")});
        part.insert(part.end(), {"-z10", "--slices=2,3", s.tlt, s.stack, s.out});
        ASSERT_EQ(run_skarbel(whole).status, 0) << options.back();
        ASSERT_EQ(run_skarbel(part).status, 0) << options.back();
        const Volume w = read_volume(s.dir.file("whole.mrc"));
        const size_t section = (size_t)w.nx * w.ny * 4;
        EXPECT_EQ(bytes_after_header(s.out), read_file(s.dir.file("whole.mrc")).substr(1024 + 2 * section, 2 * section))
            << options.back();
        // And any batch size the same file.
        whole.insert(whole.begin(), "--batch=3");
        whole.back() = s.out;
        ASSERT_EQ(run_skarbel(whole).status, 0) << options.back();
        EXPECT_EQ(read_file(s.out), read_file(s.dir.file("whole.mrc"))) << options.back() << " --batch=3";
    }
    // Binned by 2: 12 x 4 rows; -z10 and --width=15 give 5 and 8 (7.5 rounded up).
    const Captured e = run_skarbel({"--estimate", "--bin=2", "-z10", "--width=15", "--xaxis-tilt=30", s.tlt, s.stack,
                                    s.out});
    EXPECT_EQ(e.status, 0) << e.err;
    EXPECT_NE(e.out.find("Output file: " + std::to_string(1024 + 4 * 8 * 5 * 4) + " bytes\n"), std::string::npos)
        << e.out;
}

// Every bad value: a message naming the option and what it must be, exit 255,
// nothing written.
TEST(Alignment, BadValuesAreRefused) {
    const struct {
        std::string option, message;
    } cases[] = {
        {"--offset=abc", "Bad --offset value \"abc\": expected DELANG[,DELXX], finite numbers of degrees and pixels.\n"},
        {"--offset=1,nan", "Bad --offset value \"1,nan\": expected DELANG[,DELXX], finite numbers of degrees and "
                           "pixels.\n"},
        {"--shift=inf", "Bad --shift value \"inf\": expected DX[,DZ], finite numbers of pixels.\n"},
        {"--shift=1,", "Bad --shift value \"1,\": expected DX[,DZ], finite numbers of pixels.\n"},
        {"--width=0", "Bad --width value \"0\": expected a whole number of pixels, at least 1.\n"},
        {"--width=2.5", "Bad --width value \"2.5\": expected a whole number of pixels, at least 1.\n"},
        {"--xaxis-tilt=90", "Bad --xaxis-tilt value \"90\": expected degrees greater than -90 and less than 90.\n"},
        {"--xaxis-tilt=-nan", "Bad --xaxis-tilt value \"-nan\": expected degrees greater than -90 and less than 90.\n"},
        {"--bin=0", "Bad --bin value \"0\": expected a whole number of pixels, at least 1.\n"},
        {"--bin=13", "Bad --bin value \"13\": the binned stack would be 1 x 0 pixels; at least 2 x 1 are needed.\n"},
    };
    TiltSeries s(24, 8, 5);
    for (const auto& c : cases) {
        const Captured r = run_skarbel({c.option, s.tlt, s.stack, s.out});
        EXPECT_EQ(r.status, 255) << c.option;
        EXPECT_EQ(r.err.substr(0, c.message.size()), c.message) << c.option;
        EXPECT_FALSE(std::filesystem::exists(s.out)) << c.option;
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(s.dir.path), {}), 2) << c.option;
    }
}
