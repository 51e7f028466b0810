// The phantom generator: analytic projections against a brute-force
// numerical line integral, the ground truth's orientation, and
// the files the tool writes.
#include "support/common.h"

#include "tools/phantom.h"
#include "tools/stack_writer.h"

namespace {

constexpr double pi = 3.14159265358979323846;

// Membership written from the shapes' definitions, independently of the tool.
// (x, z) relative to the centre in the shape's own axes (rotated x towards z by phi).
template <class Shape>
std::pair<double, double> shape_axes(const Shape& s, double x, double z) {
    const double phi = s.phi_deg * pi / 180.0, dx = x - s.cx, dz = z - s.cz;
    return {dx * std::cos(phi) + dz * std::sin(phi), -dx * std::sin(phi) + dz * std::cos(phi)};
}

double density(const Phantom& p, double x, double y, double z) {
    double sum = 0;
    for (const Ellipsoid& e : p.ellipsoids) {
        const auto [u, w] = shape_axes(e, x, z);
        const double v = y - e.cy;
        if ((u / e.ax) * (u / e.ax) + (v / e.ay) * (v / e.ay) + (w / e.az) * (w / e.az) <= 1.0) sum += e.density;
    }
    for (const Box& b : p.boxes) {
        const auto [u, w] = shape_axes(b, x, z);
        if (std::fabs(u) <= b.hx && std::fabs(y - b.cy) <= b.hy && std::fabs(w) <= b.hz) sum += b.density;
    }
    return sum;
}

// Midpoint rule along the line cos_a*x - sin_a*z = s, over |t| <= half_length.
double numeric_line_integral(const Phantom& p, double y, double cos_a, double sin_a, double s, double half_length,
                             double step) {
    const double n = std::hypot(cos_a, sin_a);
    const double nx = cos_a / n, nz = -sin_a / n;  // unit normal
    const double dx = -nz, dz = nx;                // unit direction
    const double foot = s / n;
    double sum = 0;
    for (double t = -half_length + step / 2; t < half_length; t += step)
        sum += density(p, foot * nx + t * dx, y, foot * nz + t * dz);
    return sum * step;
}

}  // namespace

TEST(PhantomProjection, MatchesBruteForceLineIntegral) {
    const PhantomSize size{64, 48, 32};
    // The default shapes, a rotated box and a wide slab (crossed within 60 of the line's foot).
    Phantom p = default_phantom(size);
    p.boxes.push_back({5, -8, 3, 9, 4, 2.5, 70, 0.75});
    p.boxes.push_back({0, 3, 0, 1000, 2, 1.5, 0, 0.5});
    const double step = 0.004;
    // A step function sampled by the midpoint rule errs by at most one step
    // times the jump at each of the (at most two) crossings of every shape.
    double largest_density = 0;
    for (const Ellipsoid& e : p.ellipsoids) largest_density = std::max(largest_density, std::fabs(e.density));
    for (const Box& b : p.boxes) largest_density = std::max(largest_density, std::fabs(b.density));
    const double tol = 2.0 * (double)(p.ellipsoids.size() + p.boxes.size()) * step * 2 * largest_density;
    double largest = 0;
    for (double y : {-20.5, -8.5, 3.5, 14.5, 23.5}) {
        for (float angle : {-60.0f, -23.5f, 0.0f, 60.0f}) {
            float c, s;
            tilt_cos_sin(angle, &c, &s);
            for (double off : {-25.5, -11.5, -2.5, 4.5, 18.5}) {
                const double want = numeric_line_integral(p, y, c, s, off, 60.0, step);
                const double got = phantom_line_integral(p, y, c, s, off);
                largest = std::max(largest, got);
                EXPECT_NEAR(got, want, tol) << "y " << y << " angle " << angle << " s " << off;
            }
        }
    }
    EXPECT_GT(largest, 10.0);  // the lines did go through the object
}

TEST(PhantomTruth, OffCentreEllipsoidLandsWhereTheReconstructionPutsIt) {
    // Output order: section y (a slice), row j (depth z), column i (x).
    const PhantomSize size{32, 16, 20};
    const double x0 = 6, y0 = -3, z0 = 4;
    Phantom p;
    p.ellipsoids = {{x0, y0, z0, 4, 3, 3, 20, 1.0}};
    const std::vector<float> truth = phantom_truth(p, size, 4);
    ASSERT_EQ(truth.size(), (size_t)32 * 20 * 16);
    double mass = 0, mi = 0, mj = 0, my = 0;
    for (int y = 0; y < size.ny; ++y)
        for (int j = 0; j < size.thickness; ++j)
            for (int i = 0; i < size.nx; ++i) {
                const double v = truth[((size_t)y * size.thickness + j) * size.nx + i];
                mass += v;
                mi += v * i;
                mj += v * j;
                my += v * y;
            }
    EXPECT_NEAR(mi / mass, 15.5 + x0, 0.05);
    EXPECT_NEAR(mj / mass, 9.5 + z0, 0.05);
    EXPECT_NEAR(my / mass, 7.5 + y0, 0.05);

    // The projections put its centre at p = cos*x - z*sin + (nx-1)/2.
    const std::vector<float> angles = {-50.0f, 0.0f, 35.0f};
    const std::vector<float> stack = phantom_project(p, size, angles);
    const int row = (int)std::lround(7.5 + y0);
    for (size_t t = 0; t < angles.size(); ++t) {
        float c, s;
        tilt_cos_sin(angles[t], &c, &s);
        double w = 0, wc = 0;
        for (int k = 0; k < size.nx; ++k) {
            const double v = stack[(t * size.ny + (size_t)row) * size.nx + (size_t)k];
            w += v;
            wc += v * k;
        }
        // Sampling the smooth profile at whole samples moves its centroid by
        // about a hundredth of a sample; a wrong sign or axis moves it by several.
        EXPECT_NEAR(wc / w, c * x0 - z0 * s + 15.5, 0.05) << "angle " << angles[t];
    }
}

namespace {

struct FileCase {
    int mode;
    bool other_order;
    int nsymbt;
};

class PhantomFiles : public ::testing::TestWithParam<FileCase> {};

}  // namespace

TEST_P(PhantomFiles, HoldTheProjectionsTiltsAndTruth) {
    const FileCase fc = GetParam();
    TempDir dir;
    const std::string prefix = dir.file("ph");
    std::vector<std::string> argv = {SKARBEL_PHANTOM_BIN, "-x32", "-y", "8", "-z", "16", "-t5", "-r", "40",
                                     "-m", std::to_string(fc.mode), "-e", std::to_string(fc.nsymbt)};
    if (fc.other_order) argv.push_back("-b");
    argv.push_back(prefix);
    const Captured run = run_program(argv);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");

    const PhantomSize size{32, 8, 16};
    const Phantom p = default_phantom(size);
    const std::vector<float> angles = {-40, -20, 0, 20, 40};
    const std::vector<float> stack = phantom_project(p, size, angles);
    double peak = 0;
    for (float v : stack) peak = std::max(peak, (double)std::fabs(v));
    const double scale = fc.mode == 0 ? 255.0 / peak : fc.mode == 1 ? 32767.0 / peak : 1.0;

    EXPECT_EQ(read_file(prefix + ".tlt"), "-40\n-20\n0\n20\n40\n");

    const std::string s = read_file(prefix + ".mrc");
    const bool little = (std::endian::native == std::endian::little) != fc.other_order;
    const size_t b = fc.mode == 0 ? 1 : fc.mode == 1 ? 2 : 4;
    ASSERT_EQ(s.size(), 1024 + (size_t)fc.nsymbt + stack.size() * b);
    const Decoder d{s, little};
    for (const auto& [offset, word] : {std::pair{0, 32}, {4, 8}, {8, 5}, {12, fc.mode}, {92, fc.nsymbt}})
        EXPECT_EQ(d.i32(offset), word) << "byte " << offset;
    double worst = 0;
    for (size_t i = 0; i < stack.size(); ++i)
        worst = std::max(worst, std::fabs(d.sample(fc.mode, 1024 + fc.nsymbt + i * b) - stack[i] * scale) / scale);
    // Integer modes round to the nearest step of 1/scale.
    EXPECT_LE(worst, fc.mode == 2 ? 0.0 : 0.51 / scale);

    const std::string t = read_file(prefix + "_truth.mrc");
    const Decoder td{t, std::endian::native == std::endian::little};
    ASSERT_EQ(t.size(), 1024u + 32u * 16u * 8u * 4u);
    for (const auto& [offset, word] : {std::pair{0, 32}, {4, 16}, {8, 8}, {12, 2}})
        EXPECT_EQ(td.i32(offset), word) << "byte " << offset;
    const std::vector<float> truth = phantom_truth(p, size, 4);
    for (size_t i = 0; i < truth.size(); ++i) ASSERT_FLOAT_EQ(td.f32(1024 + 4 * i), (float)(truth[i] * scale)) << i;
}

INSTANTIATE_TEST_SUITE_P(Formats, PhantomFiles,
                         ::testing::Values(FileCase{2, true, 0}, FileCase{1, false, 8}, FileCase{0, true, 1024}),
                         [](const auto& i) {
                             return "mode" + std::to_string(i.param.mode) + (i.param.other_order ? "_swapped" : "") +
                                    "_ext" + std::to_string(i.param.nsymbt);
                         });

TEST(PhantomTool, RefusesBadArguments) {
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    TempDir dir;
    const std::string out = dir.file("p");
    const Case cases[] = {
        {{"-m3", out}, "skarbel_phantom: -m needs a whole number from 0 to 2, got \"3\"\n"},
        {{"-x", "abc", out}, "skarbel_phantom: -x needs a whole number from 1 to 65536, got \"abc\"\n"},
        {{"-r", "95", out}, "skarbel_phantom: -r needs an angle from 0 to 90 degrees, got \"95\"\n"},
        {{"-x65536", "-y65536", "-z", "1", out}, "skarbel_phantom: sizes too large (more than 2^31 - 1 samples)\n"},
        {{"-x4", "-y4", "-z4", "-t3", "/nonexistent-dir/p"}, "skarbel_phantom: cannot write /nonexistent-dir/p.mrc\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {SKARBEL_PHANTOM_BIN};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const Captured run = run_program(argv);
        EXPECT_EQ(run.status, 255) << c.err;
        EXPECT_EQ(run.err, c.err);
    }
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{{}, {"-q", out}, {"-x"}, {out, out}}) {
        std::vector<std::string> argv = {SKARBEL_PHANTOM_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        const Captured run = run_program(argv);
        EXPECT_EQ(run.status, 255);
        EXPECT_EQ(run.err.rfind("\nUsage:\t skarbel_phantom [-x nx]", 0), 0u) << run.err;
    }
}
