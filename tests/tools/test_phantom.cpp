// The phantom generator: analytic projections against a numerical line integral, and the files it writes.
#include "support/common.h"

#include "tools/phantom.h"
#include "tools/stack_writer.h"

namespace {

constexpr double pi = 3.14159265358979323846;

// Membership from the shapes' definitions, independent of the tool: (x, z) in the shape's own axes.
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

}  // namespace

TEST(PhantomProjection, MatchesBruteForceLineIntegral) {
    // The midpoint rule along the line errs by at most a step times each jump it crosses.
    Phantom p = default_phantom({64, 48, 32});
    p.boxes.push_back({5, -8, 3, 9, 4, 2.5, 70, 0.75});
    const double step = 0.004, tol = 0.1;
    double largest = 0;
    for (double y : {-20.5, -8.5, 3.5, 14.5})
        for (float angle : {-60.0f, -23.5f, 0.0f, 60.0f}) {
            float c, s;
            tilt_cos_sin(angle, &c, &s);
            const double n = std::hypot(c, s), nx = c / n, nz = -s / n;  // unit normal; direction (-nz, nx)
            for (double off : {-25.5, -11.5, -2.5, 4.5, 18.5}) {
                double want = 0;
                for (double t = -60 + step / 2; t < 60; t += step)
                    want += density(p, off / n * nx - t * nz, y, off / n * nz + t * nx) * step;
                const double got = phantom_line_integral(p, y, c, s, off);
                largest = std::max(largest, got);
                EXPECT_NEAR(got, want, tol) << "y " << y << " angle " << angle << " s " << off;
            }
        }
    EXPECT_GT(largest, 10.0);  // the lines did go through the object
}

TEST(PhantomTool, WritesProjectionsTiltsAndTruth) {
    TempDir dir;
    const std::string prefix = dir.file("ph");
    const Captured run =
        run_program({SKARBEL_PHANTOM_BIN, "-x32", "-y", "8", "-z", "16", "-t5", "-r", "40", "-m", "1", "-e", "8", "-b", prefix});
    ASSERT_EQ(run.status, 0) << run.err;
    const PhantomSize size{32, 8, 16};
    const Phantom p = default_phantom(size);
    const std::vector<float> stack = phantom_project(p, size, {-40, -20, 0, 20, 40});
    double peak = 0;
    for (float v : stack) peak = std::max(peak, (double)std::fabs(v));
    const double scale = 32767.0 / peak;
    EXPECT_EQ(read_file(prefix + ".tlt"), "-40\n-20\n0\n20\n40\n");

    const std::string s = read_file(prefix + ".mrc");
    ASSERT_EQ(s.size(), 1024 + 8 + stack.size() * 2);
    const Decoder d{s, std::endian::native != std::endian::little};
    for (const auto& [offset, word] : {std::pair{0, 32}, {4, 8}, {8, 5}, {12, 1}, {92, 8}})
        EXPECT_EQ(d.i32(offset), word) << "byte " << offset;
    for (size_t i = 0; i < stack.size(); ++i)  // rounded to the nearest step of 1/scale
        ASSERT_NEAR(d.sample(1, 1032 + i * 2), stack[i] * scale, 0.51) << i;

    const std::string t = read_file(prefix + "_truth.mrc");
    const Decoder td{t, std::endian::native == std::endian::little};
    ASSERT_EQ(t.size(), 1024u + 32u * 16u * 8u * 4u);
    for (const auto& [offset, word] : {std::pair{0, 32}, {4, 16}, {8, 8}, {12, 2}})
        EXPECT_EQ(td.i32(offset), word) << "byte " << offset;
    const std::vector<float> truth = phantom_truth(p, size, 4);
    for (size_t i = 0; i < truth.size(); ++i) ASSERT_FLOAT_EQ(td.f32(1024 + 4 * i), (float)(truth[i] * scale)) << i;
}

TEST(PhantomTool, RefusesBadArguments) {
    TempDir dir;
    const std::string out = dir.file("p");
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-m3", out}, "skarbel_phantom: -m needs a whole number from 0 to 2, got \"3\"\n"},
        {{"-r", "95", out}, "skarbel_phantom: -r needs an angle from 0 to 90 degrees, got \"95\"\n"},
        {{"-x65536", "-y65536", "-z", "1", out}, "skarbel_phantom: sizes too large (more than 2^31 - 1 samples)\n"},
        {{"-x4", "-y4", "-z4", "-t3", "/nonexistent-dir/p"}, "skarbel_phantom: cannot write /nonexistent-dir/p.mrc\n"},
        {{"-q", out}, "\nUsage:\t skarbel_phantom [-x nx]"},
    };
    for (const auto& [args, err] : cases) {
        std::vector<std::string> argv = {SKARBEL_PHANTOM_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        const Captured run = run_program(argv);
        EXPECT_EQ(run.status, 255) << err;
        EXPECT_EQ(run.err.substr(0, err.size()), err);
    }
}

namespace {

constexpr bool host_little = std::endian::native == std::endian::little;

// What a sample must come back as: rounded half away from zero, clamped.
float expected_stored(int mode, float v) {
    if (mode == 2) return v;
    const double r = std::round((double)v);
    return mode == 0 ? (float)std::clamp(r, 0.0, 255.0) : (float)std::clamp(r, -32768.0, 32767.0);
}

const std::vector<float> samples = {-3.4f, 0.5f, 1.49f, 254.6f, 300.0f, -40000.0f, 40000.0f, 1.25f, -0.5f, 77.0f, 12.5f, 6.0f};

}  // namespace

// Bare, volume and image-stack headers' sizes and samples, every mode and byte order, extended header or none.
TEST(StackWriter, DecodesToTheStoredSamplesAndHeader) {
    const struct {
        int mode;
        bool other_order;
        int nsymbt;
        MrcTags tags;
    } cases[] = {{1, true, 12, MrcTags::none}, {0, false, 0, MrcTags::volume}, {2, true, 8, MrcTags::image_stack}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        const int nx = 3, ny = 2, nz = 2;
        std::vector<unsigned char> ext((size_t)c.nsymbt);
        for (size_t i = 0; i < ext.size(); ++i) ext[i] = (unsigned char)(200 - i);
        StackFormat format{.mode = c.mode, .other_byte_order = c.other_order, .nsymbt = c.nsymbt,
                           .ext_header = c.nsymbt ? ext.data() : nullptr, .tags = c.tags};
        TempDir dir;
        const std::string path = dir.file("s.mrc");
        ASSERT_TRUE(write_stack(path, nx, ny, nz, samples, format));
        const std::string bytes = read_file(path);

        const int b = c.mode == 0 ? 1 : c.mode == 1 ? 2 : 4;
        ASSERT_EQ(bytes.size(), 1024 + (size_t)c.nsymbt + samples.size() * (size_t)b);
        const Decoder d{bytes, host_little != c.other_order};
        for (const auto& [offset, word] : {std::pair{0, nx}, {4, ny}, {8, nz}, {12, c.mode}, {92, c.nsymbt}})
            EXPECT_EQ(d.i32(offset), word) << "byte " << offset;
        EXPECT_EQ(bytes.substr(1024, (size_t)c.nsymbt), std::string(ext.begin(), ext.end()));
        for (size_t i = 0; i < samples.size(); ++i)
            EXPECT_EQ(d.sample(c.mode, 1024 + (size_t)c.nsymbt + i * (size_t)b), expected_stored(c.mode, samples[i]))
                << "sample " << i;

        // Nothing else may be set in a bare header (the others: check_phantom_mrcfile.sh).
        for (size_t off = 0; c.tags == MrcTags::none && off < 1024; off += 4)
            if (off != 0 && off != 4 && off != 8 && off != 12 && off != 92) {
                EXPECT_EQ(d.word(off), 0u) << "offset " << off;
            }
    }
}

TEST(StackWriter, ReportsFilesThatCannotBeWritten) { EXPECT_FALSE(write_stack("/dev/full", 1, 1, 1, {1.0f}, StackFormat{})); }
