#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "io/mrc_header.h"
#include "support/capture.h"
#include "support/files.h"
#include "support/header_bytes.h"

namespace {

std::string header_bytes(const MrcHeader& h) { return std::string(reinterpret_cast<const char*>(&h), sizeof h); }

std::string swap_words(std::string bytes) {
    for (int w = 0; w < 56; ++w) std::reverse(bytes.begin() + 4 * w, bytes.begin() + 4 * w + 4);
    return bytes;
}

// Header of a stack plus enough data bytes for it.
std::string stack_bytes(MrcHeader h, int64_t data_bytes, bool other_order = false) {
    std::string head = header_bytes(h);
    if (other_order) head = swap_words(head);
    return head + std::string((size_t)data_bytes, '\0');
}

MrcHeaderRead read_header_of(const std::string& path) {
    FILE* f = fopen(path.c_str(), "r");
    EXPECT_NE(f, nullptr);
    MrcHeaderRead r = mrc_read_header(f);
    fclose(f);
    return r;
}

void release(MrcHeaderRead& r) {
    delete r.header;
    delete[] r.ext_header;
}

}  // namespace

TEST(MrcFillHeader, NewHeaderMatchesTheFormatByteForByte) {
    MrcHeader* h = mrc_fill_header(nullptr, 512, 100, 1, -1.5f, 2.5f, 0.25);
    EXPECT_EQ(header_bytes(*h), expected_header(512, 100, 1, -1.5f, 2.5f, 0.25f));
    delete h;
}

TEST(MrcFillHeader, KeepsOtherFieldsOfAGivenHeader) {
    MrcHeader h = test_header(1, 1, 1, 0);
    h.ispg = 7;
    h.cella[1] = 3.0f;
    h.nlabl = 2;
    std::strcpy(h.label[0], "kept");
    mrc_fill_header(&h, 4, 5, 6, 0, 0, 0);
    EXPECT_EQ(h.ispg, 7);  // only the writer resets it
    EXPECT_EQ(h.cella[1], 3.0f);
    EXPECT_EQ(h.nlabl, 2);
    EXPECT_STREQ(h.label[0], "kept");
    EXPECT_EQ(h.mx, 4);
    EXPECT_EQ(h.mz, 6);
}

TEST(MrcWriteHeader, WritesThe1024BytesAndTheExtendedHeader) {
    TempDir dir;
    const std::string path = dir.file("h.mrc");
    MrcHeader* h = mrc_fill_header(nullptr, 3, 4, 5, 0, 0, 0);
    h->mode = 1;
    h->ispg = 0;
    h->nsymbt = 8;
    const unsigned char ext[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 9, 9, 9};
    FILE* f = fopen(path.c_str(), "w+");
    fwrite("garbage", 1, 7, f);
    ASSERT_TRUE(mrc_write_header(f, h, ext));
    EXPECT_EQ(ftello(f), 1024 + 8);
    fclose(f);
    std::string expected = expected_header(3, 4, 5, 0, 0, 0);
    put_i32(expected, 92, 8);
    EXPECT_EQ(read_file(path), expected + std::string(reinterpret_cast<const char*>(ext), 8));
    delete h;
}

TEST(MrcWriteHeader, ReportsAFullDevice) {
    FILE* f = fopen("/dev/full", "w+");
    ASSERT_NE(f, nullptr);
    MrcHeader* h = mrc_fill_header(nullptr, 3, 4, 5, 0, 0, 0);
    EXPECT_FALSE(mrc_write_header(f, h, nullptr));
    fclose(f);
    delete h;
}

struct ReadCase {
    const char* name;
    int mode;
    bool other_order;
    int nsymbt;
};

class MrcReadHeader : public ::testing::TestWithParam<ReadCase> {};

TEST_P(MrcReadHeader, SettlesByteOrderAndExtendedHeader) {
    const ReadCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.file("s.mrc");
    const int nx = 7, ny = 3, nz = 61;
    std::vector<float> samples(nx * ny * nz, 1.0f);
    write_test_stack(path, nx, ny, nz, c.mode, samples, c.other_order, c.nsymbt);

    FILE* f = fopen(path.c_str(), "r");
    MrcHeaderRead r = mrc_read_header(f);
    EXPECT_EQ(ftello(f), 1024 + c.nsymbt);  // positioned at the first sample
    fclose(f);
    EXPECT_EQ(r.swapped, c.other_order ? 1 : 0);
    EXPECT_EQ(r.header->nx, nx);
    EXPECT_EQ(r.header->ny, ny);
    EXPECT_EQ(r.header->nz, nz);
    EXPECT_EQ(r.header->mode, c.mode);
    EXPECT_EQ(r.header->nsymbt, c.nsymbt);
    EXPECT_EQ(r.data_offset, 1024 + c.nsymbt);
    if (c.nsymbt == 0) {
        EXPECT_EQ(r.ext_header, nullptr);
    } else {
        const std::string file = read_file(path);
        ASSERT_NE(r.ext_header, nullptr);
        EXPECT_EQ(std::memcmp(r.ext_header, file.data() + 1024, (size_t)c.nsymbt), 0);
    }
    release(r);
}

INSTANTIATE_TEST_SUITE_P(Cases, MrcReadHeader,
                         ::testing::Values(ReadCase{"float_host", 2, false, 0}, ReadCase{"float_other", 2, true, 0},
                                           ReadCase{"short_other_ext", 1, true, 1024},
                                           ReadCase{"byte_host_ext", 0, false, 1024},
                                           ReadCase{"byte_other", 0, true, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MrcReadHeaderOrder, BigEndianMode2ReadsAsHugeModeAndIsSwapped) {
    MrcHeader h = test_header(4, 2, 3, 2);
    const std::string other = swap_words(header_bytes(h));
    EXPECT_EQ(i32_at(other, 12), 33554432);
    TempDir dir;
    write_file(dir.file("s"), other + std::string(4 * 2 * 3 * 4, '\0'));
    MrcHeaderRead r = read_header_of(dir.file("s"));
    EXPECT_EQ(r.swapped, 1);
    EXPECT_EQ(r.header->mode, 2);
    release(r);
}

TEST(MrcReadHeaderOrder, OnlyModeAndNzDecide) {
    // NX above 65535 in host order does not make the header look swapped.
    MrcHeader h = test_header(70000, 1, 2, 1);
    TempDir dir;
    write_file(dir.file("s"), stack_bytes(h, 70000LL * 2 * 2));
    MrcHeaderRead r = read_header_of(dir.file("s"));
    EXPECT_EQ(r.swapped, 0);
    EXPECT_EQ(r.header->nx, 70000);
    release(r);
}

TEST(MrcReadHeaderOrder, LabelsAreNotSwapped) {
    MrcHeader h = test_header(2, 2, 2, 2);
    std::strcpy(h.label[0], "abcd");
    TempDir dir;
    write_file(dir.file("s"), stack_bytes(h, 32, true).replace(224, 4, "abcd"));
    MrcHeaderRead r = read_header_of(dir.file("s"));
    EXPECT_EQ(r.swapped, 1);
    EXPECT_EQ(std::string(r.header->label[0], 4), "abcd");
    release(r);
}

struct BadHeader {
    const char* name;
    std::string bytes;
    std::string message;
};

MrcHeader with(int nx, int ny, int nz, int mode, int nsymbt = 0) {
    MrcHeader h = test_header(nx, ny, nz, mode);
    h.nsymbt = nsymbt;
    return h;
}

std::vector<BadHeader> bad_headers() {
    return {
        {"thousand_bytes", std::string(1000, '\0'), "Error reading header.\n\n"},
        {"empty", "", "Error reading header.\n\n"},
        {"mode3", stack_bytes(with(2, 2, 2, 3), 64), "Image Mode not acceptable.\n\n"},
        {"mode4", stack_bytes(with(2, 2, 2, 4), 64), "Image Mode not acceptable.\n\n"},
        {"mode6_other_order", stack_bytes(with(2, 2, 2, 6), 64, true), "Image Mode not acceptable.\n\n"},
        {"mode_minus1", stack_bytes(with(2, 2, 2, -1), 64), "Image Mode not acceptable.\n\n"},
        {"nx0", stack_bytes(with(0, 2, 2, 2), 64),
         "Image size not acceptable: NX 0, NY 2, NZ 2 (each must be at least 1).\n\n"},
        {"ny0", stack_bytes(with(4, 0, 2, 2), 64),
         "Image size not acceptable: NX 4, NY 0, NZ 2 (each must be at least 1).\n\n"},
        {"nz0", stack_bytes(with(4, 2, 0, 2), 64),
         "Image size not acceptable: NX 4, NY 2, NZ 0 (each must be at least 1).\n\n"},
        {"ny_negative", stack_bytes(with(4, -3, 2, 2), 64),
         "Image size not acceptable: NX 4, NY -3, NZ 2 (each must be at least 1).\n\n"},
        {"nsymbt_negative", stack_bytes(with(2, 2, 2, 2, -4), 64),
         "Extended header size not acceptable: NSYMBT -4.\n\n"},
        {"nx_nz_overflow", stack_bytes(with(60000, 1, 40000, 0), 0),
         "Image too large: NX * NZ = 2400000000 samples, at most 2147483647 supported.\n\n"},
        {"volume_overflow", stack_bytes(with(50000, 50000, 1, 0), 0),
         "Image too large: NX * NY * NZ = 2500000000 samples, at most 2147483647 supported.\n\n"},
        {"one_byte_short", stack_bytes(with(4, 3, 2, 2), 95),
         "Input file too short: 1119 bytes, the header describes 1120.\n\n"},
        {"short_mode1", stack_bytes(with(4, 3, 2, 1), 10),
         "Input file too short: 1034 bytes, the header describes 1072.\n\n"},
        {"extended_header_missing", stack_bytes(with(2, 1, 1, 0, 1024), 2),
         "Input file too short: 1026 bytes, the header describes 2050.\n\n"},
    };
}

class MrcBadHeader : public ::testing::TestWithParam<BadHeader> {};

TEST_P(MrcBadHeader, EndsWithItsMessageBeforeAllocating) {
    TempDir dir;
    const std::string path = dir.file("bad.mrc");
    write_file(path, GetParam().bytes);
    Captured c = capture_exit([&] {
        static FILE* f = fopen(path.c_str(), "r");  // static: reachable when the process ends
        mrc_read_header(f);
    });
    EXPECT_EQ(c.status, 255);
    EXPECT_EQ(c.err, GetParam().message);
    EXPECT_EQ(c.out, "");

    // The non-ending variant reports the same message and leaves out alone.
    FILE* f = fopen(path.c_str(), "r");
    MrcHeaderRead out{nullptr, 42, nullptr, 0};
    const char* message = mrc_try_read_header(f, &out);
    fclose(f);
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(std::string(message), GetParam().message);
    EXPECT_EQ(out.swapped, 42);
}

INSTANTIATE_TEST_SUITE_P(Cases, MrcBadHeader, ::testing::ValuesIn(bad_headers()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MrcReadHeaderPipe, UnsizedInputSkipsTheLengthCheck) {
    // A pipe has no size; the header is still accepted and the extended header
    // read is checked on its own.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const std::string bytes = stack_bytes(with(2, 1, 1, 0, 16), 16 + 2);
    ASSERT_EQ(write(fds[1], bytes.data(), bytes.size()), (ssize_t)bytes.size());
    close(fds[1]);
    FILE* f = fdopen(fds[0], "r");
    MrcHeaderRead r{};
    EXPECT_EQ(mrc_try_read_header(f, &r), nullptr);
    EXPECT_EQ(r.header->nsymbt, 16);
    fclose(f);
    release(r);

    ASSERT_EQ(pipe(fds), 0);
    const std::string cut = stack_bytes(with(2, 1, 1, 0, 16), 0).substr(0, 1024 + 8);
    ASSERT_EQ(write(fds[1], cut.data(), cut.size()), (ssize_t)cut.size());
    close(fds[1]);
    f = fdopen(fds[0], "r");
    const char* message = mrc_try_read_header(f, &r);
    fclose(f);
    ASSERT_NE(message, nullptr);
    EXPECT_STREQ(message, "Error reading extended header.\n\n");
}

TEST(MrcBytesPerSample, AcceptedModes) {
    EXPECT_EQ(mrc_bytes_per_sample(0), 1);
    EXPECT_EQ(mrc_bytes_per_sample(1), 2);
    EXPECT_EQ(mrc_bytes_per_sample(2), 4);
    EXPECT_EQ(mrc_bytes_per_sample(3), 0);
    EXPECT_EQ(mrc_bytes_per_sample(6), 0);
}
