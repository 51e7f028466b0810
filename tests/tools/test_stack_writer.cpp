// MRC files written for tests and tools, decoded byte by byte here.
#include "support/common.h"

#include "tools/stack_writer.h"

namespace {

constexpr bool host_little = std::endian::native == std::endian::little;

// What a sample must come back as: rounded half away from zero, clamped.
float expected_stored(int mode, float v) {
    if (mode == 2) return v;
    const double r = std::round((double)v);
    return mode == 0 ? (float)std::clamp(r, 0.0, 255.0) : (float)std::clamp(r, -32768.0, 32767.0);
}

const std::vector<float> samples = {-3.4f, 0.5f, 1.49f, 254.6f, 300.0f, -40000.0f, 40000.0f, 1.25f, -0.5f, 77.0f, 12.5f, 6.0f};

struct Case {
    int mode;
    bool other_order;
    int nsymbt;
    MrcTags tags;
};

class StackWriterFile : public ::testing::TestWithParam<Case> {};

}  // namespace

TEST_P(StackWriterFile, DecodesToTheStoredSamplesAndHeader) {
    const Case c = GetParam();
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

    if (c.tags == MrcTags::none) {
        // Nothing else may be set: readers must cope with bare headers.
        for (size_t off = 0; off < 1024; off += 4) {
            if (off == 0 || off == 4 || off == 8 || off == 12 || off == 92) continue;
            EXPECT_EQ(d.word(off), 0u) << "offset " << off;
        }
        return;
    }
    std::vector<double> stored;
    for (float v : samples) stored.push_back(expected_stored(c.mode, v));
    const auto [lo, hi] = std::minmax_element(stored.begin(), stored.end());
    double mean = 0, squares = 0;
    for (double v : stored) mean += v / (double)stored.size();
    for (double v : stored) squares += (v - mean) * (v - mean);
    const bool stack = c.tags == MrcTags::image_stack;
    for (const auto& [offset, word] : {std::pair{28, nx}, {32, ny}, {36, stack ? 1 : nz}, {64, 1}, {68, 2}, {72, 3}})
        EXPECT_EQ(d.i32(offset), word) << "byte " << offset;
    EXPECT_EQ(d.f32(76), (float)*lo);
    EXPECT_EQ(d.f32(80), (float)*hi);
    EXPECT_FLOAT_EQ(d.f32(84), (float)mean);
    EXPECT_FLOAT_EQ(d.f32(216), (float)std::sqrt(squares / (double)samples.size()));
    EXPECT_EQ(d.i32(88), stack ? 0 : 1);
    EXPECT_EQ(d.i32(108), 20140);
    EXPECT_EQ(bytes.substr(208, 4), "MAP ");
    const bool file_little = host_little != c.other_order;
    EXPECT_EQ(bytes.substr(212, 4), file_little ? std::string("\x44\x44\0\0", 4) : std::string("\x11\x11\0\0", 4));
}

INSTANTIATE_TEST_SUITE_P(
    Formats, StackWriterFile,
    ::testing::Values(Case{1, true, 12, MrcTags::none}, Case{0, false, 0, MrcTags::volume},
                      Case{2, true, 8, MrcTags::image_stack}),
    [](const auto& i) {
        return std::string(i.param.tags == MrcTags::none ? "bare" : i.param.tags == MrcTags::volume ? "volume" : "stack") +
               "_mode" + std::to_string(i.param.mode) + (i.param.other_order ? "_swapped" : "") + "_ext" +
               std::to_string(i.param.nsymbt);
    });

TEST(StackWriter, ReportsFilesThatCannotBeWritten) { EXPECT_FALSE(write_stack("/dev/full", 1, 1, 1, {1.0f}, StackFormat{})); }
