#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "io/image.h"
#include "support/capture.h"
#include "support/files.h"
#include "support/header_bytes.h"

namespace {

// Integer sample values that every mode holds exactly.
std::vector<float> byte_samples(int n) {
    std::vector<float> v(n);
    for (int i = 0; i < n; ++i) v[i] = (float)((i * 53 + 7) % 256);
    return v;
}

// Sinogram of slice y, read through the program's calls.
std::vector<float> sinogram_of(const std::string& path, int y) {
    Image* stack = image_new();
    FILE* f = image_open_stack(path.c_str(), stack);
    Image* sino = image_new_zeroed(stack->nx, stack->nz);
    image_read_sinogram(f, stack, sino, y);
    std::vector<float> rows(sino->data[0][0], sino->data[0][0] + (size_t)sino->nx * sino->ny);
    fclose(f);
    image_free(sino);
    image_free(stack);
    return rows;
}

// Row t of the reference sinogram of slice y is row y of section t.
std::vector<float> reference_sinogram(const std::vector<float>& samples, int nx, int ny, int nz, int y) {
    std::vector<float> rows;
    for (int t = 0; t < nz; ++t)
        for (int x = 0; x < nx; ++x) rows.push_back(samples[((size_t)t * ny + y) * nx + x]);
    return rows;
}

}  // namespace

TEST(ImageVolume, ZeroedImageRowsAreContiguous) {
    Image* image = image_new_zeroed(5, 3);
    EXPECT_EQ(image->nx, 5);
    EXPECT_EQ(image->ny, 3);
    EXPECT_EQ(image->nz, 1);
    EXPECT_EQ(image->header, nullptr);
    EXPECT_EQ(image->min, 0.0f);
    for (int i = 0; i < 15; ++i) EXPECT_EQ(image->data[0][0][i], 0.0f);
    EXPECT_EQ(image->data[0][2], image->data[0][0] + 10);
    image_free(image);
}

TEST(ImageVolume, IndexOfThreeDimensions) {
    Image* image = image_new();
    image_alloc(image, 4, 3, 2);
    for (int z = 0; z < 2; ++z)
        for (int y = 0; y < 3; ++y) EXPECT_EQ(image->data[z][y], image->data[0][0] + (z * 3 + y) * 4);
    image_free(image);
}

TEST(ImageVolume, AllocationFailureMessages) {
    Captured c = capture_exit([] {
        static Image* image = image_new();
        image_alloc(image, -1, 1, 1);
    });
    EXPECT_EQ(c.status, 255);
    EXPECT_EQ(c.err, "\nProblems in allocating memory.\n\nProblems in allocating memory for an 3D image.\n");
}

TEST(ImageVolume, SwapBytesReversesInPlace) {
    unsigned char b[5] = {1, 2, 3, 4, 5};
    swap_bytes(b, 4);
    EXPECT_EQ(std::vector<unsigned char>(b, b + 5), (std::vector<unsigned char>{4, 3, 2, 1, 5}));
    swap_bytes(b, 3);
    EXPECT_EQ(std::vector<unsigned char>(b, b + 5), (std::vector<unsigned char>{2, 3, 4, 1, 5}));
}

struct StackCase {
    const char* name;
    int mode;
    bool other_order;
    int nsymbt;
};

class Sinogram : public ::testing::TestWithParam<StackCase> {};

// Every mode and byte order of the same values gives the same sinograms:
// row t of slice y from byte D + (t*NY + y)*NX*b.
TEST_P(Sinogram, EverySliceEqualsTheRowsOfEverySection) {
    const StackCase& c = GetParam();
    const int nx = 9, ny = 4, nz = 5;
    const std::vector<float> samples = byte_samples(nx * ny * nz);
    TempDir dir;
    write_test_stack(dir.file("s.mrc"), nx, ny, nz, c.mode, samples, c.other_order, c.nsymbt);
    for (int y = 0; y < ny; ++y)
        EXPECT_EQ(sinogram_of(dir.file("s.mrc"), y), reference_sinogram(samples, nx, ny, nz, y)) << "slice " << y;
}

INSTANTIATE_TEST_SUITE_P(Cases, Sinogram,
                         ::testing::Values(StackCase{"byte", 0, false, 0}, StackCase{"byte_other", 0, true, 0},
                                           StackCase{"short", 1, false, 0}, StackCase{"short_other", 1, true, 0},
                                           StackCase{"float", 2, false, 0}, StackCase{"float_other", 2, true, 0},
                                           StackCase{"float_other_ext", 2, true, 1024},
                                           StackCase{"short_ext", 1, false, 100}),
                         [](const auto& info) { return std::string(info.param.name); });

struct ConversionCase {
    const char* name;
    int mode;
    bool other_order;
    std::vector<float> values;
};

class SampleConversion : public ::testing::TestWithParam<ConversionCase> {};

TEST_P(SampleConversion, KeepsSignAndRange) {
    const ConversionCase& c = GetParam();
    TempDir dir;
    const int nx = (int)c.values.size();
    write_test_stack(dir.file("s.mrc"), nx, 1, 1, c.mode, c.values, c.other_order);
    EXPECT_EQ(sinogram_of(dir.file("s.mrc"), 0), c.values);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SampleConversion,
    ::testing::Values(ConversionCase{"byte_unsigned", 0, false, {200, 0, 255, 1}},
                      ConversionCase{"short_signed", 1, false, {-200, 32767, -32768, 0, 1}},
                      ConversionCase{"short_signed_other", 1, true, {-200, 32767, -32768, 258, -2}},
                      ConversionCase{"float_other", 2, true, {-1.5f, 3.25e-7f, 1e30f}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ImageOpenStack, KeepsTheFileFactsAndAnyNameLength) {
    TempDir dir;
    // A path of over 255 characters through nested folders.
    std::string folder = dir.path;
    while (folder.size() < 300) folder += "/" + std::string(60, 'd');
    std::filesystem::create_directories(folder);
    const std::string path = folder + "/stack.mrc";
    write_test_stack(path, 3, 2, 4, 1, byte_samples(24), true, 8);
    Image* stack = image_new();
    FILE* f = image_open_stack(path.c_str(), stack);
    EXPECT_EQ(stack->name, path);
    EXPECT_EQ(stack->swapped, 1);
    EXPECT_EQ(stack->data_offset, 1032);
    EXPECT_EQ(stack->nx, 3);
    EXPECT_EQ(stack->ny, 2);
    EXPECT_EQ(stack->nz, 4);
    EXPECT_NE(stack->ext_header, nullptr);
    EXPECT_EQ(stack->data, nullptr);
    fclose(f);
    image_free(stack);
}

TEST(ImageOpenStack, MissingFile) {
    const std::string name = "/nonexistent/" + std::string(300, 'x') + ".mrc";
    Captured c = capture_exit([&] {
        static Image* stack = image_new();  // static: still reachable when the process ends
        image_open_stack(name.c_str(), stack);
    });
    EXPECT_EQ(c.status, 255);
    EXPECT_EQ(c.err, "\n Unable to open input file " + name + "\n\n");
}

TEST(ImageReadSinogram, ShortReadEndsTheRun) {
    TempDir dir;
    const std::string path = dir.file("s.mrc");
    write_test_stack(path, 4, 3, 2, 2, byte_samples(24));
    Captured c = capture_exit([&] {
        // Static: what the ending process holds stays reachable.
        static Image* stack = image_new();
        static FILE* f = image_open_stack(path.c_str(), stack);
        // The file loses its last row after the header was accepted.
        if (truncate(path.c_str(), 1024 + 4 * 4 * 5) != 0) return;
        static Image* sino = image_new_zeroed(4, 2);
        image_read_sinogram(f, stack, sino, 1);  // row 1 of section 1 is still there
        image_read_sinogram(f, stack, sino, 2);  // row 2 of section 1 is not
    });
    EXPECT_EQ(c.status, 255);
    EXPECT_EQ(c.err, "Error reading input file " + path + ": row 2 of section 1.\n\n");
}

TEST(ImageWriteSlice, AdvancesBySliceAndWritesHostFloats) {
    TempDir dir;
    FILE* f = fopen(dir.file("o").c_str(), "w+");
    Image* slice = image_new_zeroed(512, 100);
    slice->data[0][99][511] = 2.5f;
    image_write_slice(f, slice);
    EXPECT_EQ(ftello(f), 204800);
    image_write_slice(f, slice);
    EXPECT_EQ(ftello(f), 409600);
    fclose(f);
    const std::string bytes = read_file(dir.file("o"));
    EXPECT_EQ(f32_at(bytes, 204796), 2.5f);
    EXPECT_EQ(f32_at(bytes, 409596), 2.5f);
    image_free(slice);
}

TEST(ImageWriteSlice, FullDeviceEndsTheRun) {
    for (int nx : {512, 4}) {  // a write the buffer cannot take, and one it can (caught on flush)
        Captured c = capture_exit([nx] {
            // Static, so that what the ending process still holds stays reachable.
            static FILE* f = fopen("/dev/full", "w+");
            static Image* slice = image_new_zeroed(nx, 100);
            image_header_from(slice);
            image_write_slice(f, slice);
            image_write_header(f, slice);
        });
        EXPECT_EQ(c.status, 255) << nx;
        EXPECT_EQ(c.err, "Error writing output file.\n\n") << nx;
    }
}

TEST(ImageHeader, ProvisionalHeaderOfASlice) {
    TempDir dir;
    FILE* f = fopen(dir.file("o").c_str(), "w+");
    Image* slice = image_new_zeroed(512, 100);
    image_header_from(slice);
    image_write_header(f, slice);
    EXPECT_EQ(ftello(f), 1024);
    fclose(f);
    EXPECT_EQ(read_file(dir.file("o")), expected_header(512, 100, 1, 0, 0, 0));
    image_free(slice);
}

TEST(ImageWholeVolume, WriteAndReadBack) {
    TempDir dir;
    Image* image = image_new();
    image_alloc(image, 3, 2, 2);
    for (int i = 0; i < 12; ++i) image->data[0][0][i] = (float)i * 0.5f - 1.0f;
    image_statistics(image);
    ASSERT_EQ(image_write_volume(dir.file("v.mrc").c_str(), image), 0);
    const std::string bytes = read_file(dir.file("v.mrc"));
    ASSERT_EQ(bytes.size(), 1024u + 48);
    EXPECT_EQ(bytes.substr(0, 1024), expected_header(3, 2, 2, -1.0f, 4.5f, 1.75f));

    Image* back = image_new();
    ASSERT_EQ(image_read_volume(dir.file("v.mrc").c_str(), back), 0);
    EXPECT_EQ(back->nx, 3);
    EXPECT_EQ(back->nz, 2);
    EXPECT_EQ(std::vector<float>(back->data[0][0], back->data[0][0] + 12),
              std::vector<float>(image->data[0][0], image->data[0][0] + 12));
    EXPECT_EQ(image_write_volume("/nonexistent/v.mrc", image), -1);
    EXPECT_EQ(image_write_volume("/dev/full", image), -1);
    image_free(image);
    image_free(back);
}

TEST(ImageWholeVolume, ReadResults) {
    TempDir dir;
    const std::vector<float> samples = {1.5f, -2.0f, 3.0f, 4.0f, 5.0f, 6.0f};
    write_test_stack(dir.file("other.mrc"), 3, 2, 1, 2, samples, true, 12);
    write_test_stack(dir.file("short.mrc"), 3, 2, 1, 1, samples);
    write_file(dir.file("bad.mrc"), "tiny");
    Image* image = image_new();
    ASSERT_EQ(image_read_volume(dir.file("other.mrc").c_str(), image), 0);
    EXPECT_EQ(std::vector<float>(image->data[0][0], image->data[0][0] + 6), samples);
    EXPECT_EQ(image->data_offset, 1036);
    EXPECT_EQ(image->swapped, 1);
    EXPECT_EQ(image_read_volume(dir.file("short.mrc").c_str(), image), -2);
    EXPECT_EQ(image_read_volume(dir.file("bad.mrc").c_str(), image), -1);
    EXPECT_EQ(image_read_volume(dir.file("none.mrc").c_str(), image), -1);
    image_free(image);
}

TEST(ImageStatistics, AgainstDirectFormulas) {
    Image* image = image_new();
    image_alloc(image, 2, 2, 2);
    const double v[8] = {1, 2, 3, 4, -8, 0.5, 10, 2};
    for (int i = 0; i < 8; ++i) image->data[0][0][i] = (float)v[i];
    double mean = 0, var = 0;
    for (double x : v) mean += x / 8;
    for (double x : v) var += (x - mean) * (x - mean) / 8;
    image_statistics(image);
    EXPECT_EQ(image->min, -8.0f);
    EXPECT_EQ(image->max, 10.0f);
    EXPECT_NEAR(image->mean, mean, 1e-12);
    EXPECT_NEAR(image->variance, var, 1e-12);
    EXPECT_NEAR(image->stddev, std::sqrt(var), 1e-12);

    image_normalise(image);
    for (int i = 0; i < 8; ++i) EXPECT_NEAR(image->data[0][0][i], (v[i] - mean) / std::sqrt(var), 1e-6);
    EXPECT_NEAR(image->mean, 0.0, 1e-7);
    EXPECT_NEAR(image->stddev, 1.0, 1e-6);
    image_free(image);
}

TEST(ImageCopyHeader, CopiesHeaderExtendedHeaderAndOffset) {
    TempDir dir;
    write_test_stack(dir.file("s.mrc"), 2, 2, 2, 2, std::vector<float>(8, 1.0f), false, 16);
    Image* src = image_new();
    ASSERT_EQ(image_read_volume(dir.file("s.mrc").c_str(), src), 0);
    Image* dst = image_new_zeroed(2, 2);
    image_copy_header(dst, src);
    ASSERT_NE(dst->header, src->header);
    EXPECT_EQ(std::memcmp(dst->header, src->header, 1024), 0);
    ASSERT_NE(dst->ext_header, nullptr);
    EXPECT_EQ(std::memcmp(dst->ext_header, src->ext_header, 16), 0);
    EXPECT_EQ(dst->data_offset, 1040);
    image_free(src);
    image_free(dst);
}

TEST(ImageReadSections, VisitsEverySectionAndGathersStatistics) {
    TempDir dir;
    const std::vector<float> samples = {1, 2, 3, 4, -5, 6, 7, 8, 9, 10, 11, 30};
    write_test_stack(dir.file("s.mrc"), 2, 2, 3, 2, samples, true);
    Image* image = image_new();
    std::vector<float> seen;
    auto visit = [](int z, Image* im, void* user) {
        auto* out = static_cast<std::vector<float>*>(user);
        EXPECT_EQ((int)out->size(), 4 * z);
        out->insert(out->end(), im->data[0][0], im->data[0][0] + 4);
    };
    ASSERT_EQ(image_read_sections(dir.file("s.mrc").c_str(), image, visit, &seen), 0);
    EXPECT_EQ(seen, samples);
    EXPECT_EQ(image->nz, 1);
    EXPECT_EQ(image->min, -5.0f);
    EXPECT_EQ(image->max, 30.0f);
    EXPECT_NEAR(image->mean, 86.0 / 12, 1e-12);
    image_free(image);
}
