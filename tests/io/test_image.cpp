// Stacks in every mode and byte order, tilt files and volumes written, byte for byte, and their failures.
#include "support/common.h"
#include <unistd.h>

#include <numeric>

#include "io/image.h"
#include "io/tilt_angles.h"

namespace {

// Integer sample values that every mode holds exactly.
std::vector<float> byte_samples(int n) {
    std::vector<float> v(n);
    for (int i = 0; i < n; ++i) v[i] = (float)((i * 53 + 7) % 256);
    return v;
}

std::vector<float> sinogram_of(const std::string& path, int y) {
    const std::unique_ptr<Image> stack = image_new();
    FILE* f = image_open_stack(path.c_str(), stack.get());
    std::vector<int> sections(stack->nz);
    std::iota(sections.begin(), sections.end(), 0);
    std::vector<float> rows((size_t)stack->nx * stack->nz);
    EXPECT_EQ(image_read_sinograms(f, stack.get(), y, 1, sections, rows.data()).whole, 1);
    fclose(f);
    return rows;
}

}  // namespace

// Every mode, byte order and extended header of the same values gives the same sinograms.
TEST(ImageStack, SinogramsInEveryModeAndByteOrder) {
    const int nx = 9, ny = 4, nz = 5;
    const std::vector<float> samples = byte_samples(nx * ny * nz);
    for (const auto& [mode, other_order, nsymbt] : {std::tuple{0, true, 0}, {1, false, 100}, {1, true, 0},
                                                     {2, false, 0}, {2, true, 1024}}) {
        TempDir dir;
        write_test_stack(dir.file("s.mrc"), nx, ny, nz, mode, samples, other_order, nsymbt);
        for (int y = 0; y < ny; ++y) {
            std::vector<float> expected;
            for (int t = 0; t < nz; ++t)
                for (int x = 0; x < nx; ++x) expected.push_back(samples[((size_t)t * ny + y) * nx + x]);
            EXPECT_EQ(sinogram_of(dir.file("s.mrc"), y), expected) << mode << other_order << " slice " << y;
        }
    }
    // Bytes are unsigned, shorts signed, in either byte order.
    const std::vector<std::vector<float>> kept = {{200, 0, 255, 1}, {-200, 32767, -32768, 258, -2}, {-1.5f, 1e30f}};
    for (int mode = 0; mode < 3; ++mode) {
        TempDir dir;
        write_test_stack(dir.file("s.mrc"), (int)kept[mode].size(), 1, 1, mode, kept[mode], mode > 0);
        EXPECT_EQ(sinogram_of(dir.file("s.mrc"), 0), kept[mode]) << mode;
    }
}

TEST(ImageStack, FailuresEndTheRun) {
    TempDir dir;
    const std::string path = dir.file("s.mrc"), missing = "/nonexistent/" + std::string(300, 'x') + ".mrc";
    write_test_stack(path, 4, 3, 2, 2, byte_samples(24));
    Captured open = capture_exit([&] {
        static Image* stack = image_new().release();  // static: still reachable when the process ends
        image_open_stack(missing.c_str(), stack);
    });
    EXPECT_EQ(open.status, 255);
    EXPECT_EQ(open.err, "\n Unable to open input file " + missing + "\n\n");
    Captured short_read = capture_exit([&] {
        static Image* stack = image_new().release();
        static FILE* f = image_open_stack(path.c_str(), stack);
        // The file loses its last row after the header was accepted.
        if (truncate(path.c_str(), 1024 + 4 * 4 * 5) != 0) return;
        // Slices read together: the first two are whole, row 2 of section 1 is missing.
        static float rows[3 * 2 * 4];
        const SinogramsRead r = image_read_sinograms(f, stack, 0, 3, {0, 1}, rows);
        printf("%d %d %g %g", r.whole, r.section, rows[4 * 3], rows[4 * 4]);  // slice 1 row 1, slice 2 row 0
        if (image_read_sinograms(f, stack, 1, 1, {0, 1}, rows).whole == 1)  // row 1 of section 1 is still there
            image_read_failed(stack, 2, image_read_sinograms(f, stack, 2, 1, {0, 1}, rows).section);
    });
    EXPECT_EQ(short_read.out, "2 1 87 175");
    EXPECT_EQ(short_read.status, 255);
    EXPECT_EQ(short_read.err, "Error reading input file " + path + ": row 2 of section 1.\n\n");
    Captured alloc = capture_exit([] {
        static Image* image = image_new().release();
        image_alloc(image, -1, 1, 1);
    });
    EXPECT_EQ(alloc.status, 255);
    EXPECT_EQ(alloc.err, "\nProblems in allocating memory.\n\nProblems in allocating memory for an 3D image.\n");
}

struct LineCase {
    std::string text;
    float angle_deg;
};

TEST(TiltAngles, FirstNumberOfEachLineWithRadiansCosineAndSine) {
    const std::vector<LineCase> cases = {{"0", 0.0f},           {"-60.0", -60.0f},     {"  45.5 word", 45.5f},
                                         {"1e1", 10.0f},        {"\t+12.25", 12.25f},  {"3.5\r", 3.5f},
                                         {"7.75" + std::string(1000, ' ') + "99", 7.75f}};
    TempDir dir;
    std::string text;
    for (const LineCase& c : cases) text += c.text + "\n";
    write_file(dir.file("t.tlt"), text + "1.5");  // the last line without a line end
    const std::unique_ptr<a[]> t = read_tilt_angles(dir.file("t.tlt").c_str(), (int)cases.size() + 1);
    for (size_t i = 0; i <= cases.size(); ++i) {
        const float deg = i < cases.size() ? cases[i].angle_deg : 1.5f;
        EXPECT_EQ(t[i].angle_deg, deg) << i;
        // Radians with pi/180 rounded to float; cosine and sine against double precision.
        const float rad = deg * 0.017453292f;
        EXPECT_EQ(t[i].angle_rad, rad);
        EXPECT_NEAR(t[i].cos_a, std::cos((double)rad), 1e-6);
        EXPECT_NEAR(t[i].sin_a, std::sin((double)rad), 1e-6);
    }
    EXPECT_EQ(t[1].angle_rad, -1.0471975803375244f);
}

struct BadTilt {
    std::string text;
    int n;
    std::string message;
};

TEST(TiltAngles, BadFilesEndWithTheLineNumber) {
    const std::string finite = " of the tilt-angle file is not finite.\n\n";
    const std::vector<BadTilt> cases = {
        {"1\n2\n3\n", 5, "Tilt-angle file ends before line 4: 5 angles are needed.\n\n"},
        {"", 1, "Tilt-angle file ends before line 1: 1 angles are needed.\n\n"},
        {"1\nabc\n3\n", 3, "No angle at the start of line 2 of the tilt-angle file.\n\n"},
        {"1\n2\n\n4\n", 4, "No angle at the start of line 3 of the tilt-angle file.\n\n"},
        {"nan\n", 1, "Angle on line 1" + finite},
        {"0\n-inf\n", 2, "Angle on line 2" + finite},
        {"0\n0\n1e50\n", 3, "Angle on line 3" + finite},
        {"1\n", -1, "\nUnable to allocate memory for tilt array.\n\n"},
        {"", -2, "\nUnable to open file with tilt angles.\n\n"},  // no file, even for no angles
    };
    for (const BadTilt& c : cases) {
        TempDir dir;
        if (c.n != -2) write_file(dir.file("t.tlt"), c.text);
        const std::string path = dir.file("t.tlt");
        Captured r = capture_exit([&] { read_tilt_angles(path.c_str(), c.n == -2 ? 0 : c.n); });
        EXPECT_EQ(r.status, 255) << c.text;
        EXPECT_EQ(r.err, c.message);
    }
}
