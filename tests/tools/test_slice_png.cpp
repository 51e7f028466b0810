// The slice picture tool: panels, scaling, orientation and errors, the PNG read back through libpng.
#include "support/common.h"
#include <png.h>

namespace {

struct Picture {
    int width = 0, height = 0;
    std::vector<unsigned char> grey;
    int at(int x, int y) const { return grey[(size_t)y * width + x]; }
};

Picture read_png(const std::string& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    Picture p;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return p;
    image.format = PNG_FORMAT_GRAY;
    p.grey.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, p.grey.data(), 0, nullptr)) return {};
    p.width = (int)image.width;
    p.height = (int)image.height;
    return p;
}

Captured run_tool(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {SKARBEL_SLICE_PNG_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv);
}

int scaled(double v, double lo, double hi) { return (int)std::lround(255.0 * (v - lo) / (hi - lo)); }

}  // namespace

TEST(SlicePng, CentralSectionsSideBySideEachOnItsOwnScale) {
    TempDir dir;
    // Volume a: 4 x 3 x 3, section 1 holds 10 + x + 4y; volume b: 2 x 5 x 1, byte-swapped, holding -x - 2y.
    std::vector<float> a(36, -1000.0f), b(10);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x) a[(size_t)(12 + 4 * y + x)] = (float)(10 + x + 4 * y);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 2; ++x) b[(size_t)(2 * y + x)] = (float)(-x - 2 * y);
    write_test_stack(dir.file("a.mrc"), 4, 3, 3, 2, a);
    write_test_stack(dir.file("b.mrc"), 2, 5, 1, 2, b, true, 16);
    const Captured run = run_tool({dir.file("out.png"), dir.file("a.mrc"), dir.file("b.mrc")});
    ASSERT_EQ(run.status, 0) << run.err;

    const Picture p = read_png(dir.file("out.png"));
    ASSERT_EQ(p.width, 4 + 4 + 2);
    ASSERT_EQ(p.height, 5);
    // Row 0 of a section is the bottom row of its panel; panels are top-aligned.
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x) EXPECT_EQ(p.at(x, 2 - y), scaled(10 + x + 4 * y, 10, 21)) << x << "," << y;
    for (int x = 0; x < 4; ++x) EXPECT_EQ(p.at(x, 3), 0);
    for (int y = 0; y < 5; ++y)
        for (int x = 4; x < 8; ++x) EXPECT_EQ(p.at(x, y), 128) << "gap";
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 2; ++x) EXPECT_EQ(p.at(8 + x, 4 - y), scaled(-x - 2 * y, -9, 0)) << x << "," << y;
}

TEST(SlicePng, ChosenSectionNonFiniteValuesBlack) {
    TempDir dir;
    write_test_stack(dir.file("v.mrc"), 2, 2, 3, 2, {1, 2, 3, 4, 7, 7, 7, 7, NAN, 5, INFINITY, 6});
    const Captured run = run_tool({"-z2", dir.file("p.png"), dir.file("v.mrc")});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(read_png(dir.file("p.png")).grey, (std::vector<unsigned char>{0, 255, 0, 0}));  // range from 5 and 6
}

TEST(SlicePng, RefusesWhatItCannotShow) {
    TempDir dir;
    write_test_stack(dir.file("v.mrc"), 2, 2, 3, 2, std::vector<float>(12, 1.0f));
    write_test_stack(dir.file("i.mrc"), 2, 2, 1, 1, std::vector<float>(4, 1.0f));
    const std::string png = dir.file("p.png");
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{png, dir.file("i.mrc")}, "skarbel_slice_png: " + dir.file("i.mrc") + " is not a float (MODE 2) volume\n"},
        {{png, dir.file("none.mrc")},
         "skarbel_slice_png: " + dir.file("none.mrc") + " cannot be opened or has no readable MRC header\n"},
        {{"-z3", png, dir.file("v.mrc")}, "skarbel_slice_png: " + dir.file("v.mrc") + " has 3 sections, no section 3\n"},
        {{"-z", "-1", png, dir.file("v.mrc")}, "skarbel_slice_png: -z needs a section number of 0 or more, got \"-1\"\n"},
        {{"/nonexistent-dir/p.png", dir.file("v.mrc")}, "skarbel_slice_png: cannot write /nonexistent-dir/p.png\n"},
        {{"-q", png, png}, "\nUsage:\t skarbel_slice_png [-z section]"},
    };
    for (const auto& [args, err] : cases) {
        const Captured run = run_tool(args);
        EXPECT_EQ(run.status, 255) << err;
        EXPECT_EQ(run.err.substr(0, err.size()), err);
    }
}
