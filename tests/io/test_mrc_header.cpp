#include "support/common.h"
#include <unistd.h>

#include "io/mrc_header.h"

namespace {

std::string header_bytes(const MrcHeader& h) { return std::string(reinterpret_cast<const char*>(&h), sizeof h); }

// Header (its 56 words swapped when asked) plus data bytes.
std::string stack_bytes(int nx, int ny, int nz, int mode, int64_t data_bytes, bool other_order = false,
                        int nsymbt = 0) {
    MrcHeader h = test_header(nx, ny, nz, mode);
    h.nsymbt = nsymbt;
    std::string head = header_bytes(h);
    if (other_order)
        for (int w = 0; w < 56; ++w) std::reverse(head.begin() + 4 * w, head.begin() + 4 * w + 4);
    return head + std::string((size_t)data_bytes, '\0');
}

}  // namespace

TEST(MrcHeader, FilledAndWrittenByteForByte) {
    std::unique_ptr<MrcHeader> h;
    mrc_fill_header(&h, 512, 100, 1, -1.5f, 2.5f, 0.25);
    EXPECT_EQ(header_bytes(*h), expected_header(512, 100, 1, -1.5f, 2.5f, 0.25f));
    // A given header keeps its other fields.
    h->ispg = 7;
    std::strcpy(h->label[0], "kept");
    mrc_fill_header(&h, 3, 4, 5, 0, 0, 0);
    EXPECT_EQ(h->ispg, 7);
    EXPECT_STREQ(h->label[0], "kept");
    EXPECT_EQ(h->mz, 5);

    h.reset();

    // The writer sets MODE 2 and ISPG 1 and appends the extended header.
    TempDir dir;
    const std::string path = dir.file("h.mrc");
    mrc_fill_header(&h, 3, 4, 5, 0, 0, 0);
    h->mode = 1;
    h->ispg = 0;
    h->nsymbt = 8;
    const unsigned char ext[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 9, 9, 9};
    FILE* f = fopen(path.c_str(), "w+");
    fwrite("garbage", 1, 7, f);
    ASSERT_TRUE(mrc_write_header(f, h.get(), ext));
    EXPECT_EQ(ftello(f), 1024 + 8);
    fclose(f);
    std::string expected = expected_header(3, 4, 5, 0, 0, 0);
    put_i32(expected, 92, 8);
    EXPECT_EQ(read_file(path), expected + std::string(reinterpret_cast<const char*>(ext), 8));
    f = fopen("/dev/full", "w+");
    EXPECT_FALSE(mrc_write_header(f, h.get(), nullptr));
    fclose(f);
    h.reset();
}

// Sizes, byte order and extended header of a read header; NX above 65535 does not look swapped, labels never are.
TEST(MrcHeader, ReadSettlesByteOrderAndExtendedHeader) {
    TempDir dir;
    write_test_stack(dir.file("s"), 7, 3, 61, 1, std::vector<float>(7 * 3 * 61, 1.0f), true, 1024);
    write_file(dir.file("a"), stack_bytes(70000, 1, 2, 1, 70000LL * 4));
    write_file(dir.file("b"), stack_bytes(2, 2, 2, 2, 32, true).replace(224, 4, "abcd"));
    for (const auto& [name, nx, swapped, nsymbt, label] :
         {std::tuple{"s", 7, 1, 1024, ""}, {"a", 70000, 0, 0, ""}, {"b", 2, 1, 0, "abcd"}}) {
        FILE* f = fopen(dir.file(name).c_str(), "r");
        MrcHeaderRead r = mrc_read_header(f);
        EXPECT_EQ(ftello(f), 1024 + nsymbt) << name;  // at the first sample
        fclose(f);
        EXPECT_EQ(r.swapped, swapped) << name;
        EXPECT_EQ(r.header->nx, nx) << name;
        EXPECT_EQ(r.data_offset, 1024 + nsymbt) << name;
        EXPECT_EQ(std::string(r.header->label[0], strlen(label)), label) << name;
        const std::string ext = read_file(dir.file(name)).substr(1024, nsymbt);
        EXPECT_EQ(r.ext_header ? std::string((const char*)r.ext_header.get(), nsymbt) : "", ext) << name;
        EXPECT_EQ(r.ext_header == nullptr, nsymbt == 0) << name;
    }
}

struct BadHeader {
    std::string bytes, message;
};

TEST(MrcHeader, BadHeadersEndWithTheirMessage) {
    const std::string size = "Image size not acceptable: ", mode = "Image Mode not acceptable.\n\n";
    const std::vector<BadHeader> cases = {
        {std::string(1000, '\0'), "Error reading header.\n\n"},
        {"", "Error reading header.\n\n"},
        {stack_bytes(2, 2, 2, 3, 64), mode},
        {stack_bytes(2, 2, 2, 6, 64, true), mode},
        {stack_bytes(2, 2, 2, -1, 64), mode},
        {stack_bytes(0, 2, 2, 2, 64), size + "NX 0, NY 2, NZ 2 (each must be at least 1).\n\n"},
        {stack_bytes(4, -3, 2, 2, 64), size + "NX 4, NY -3, NZ 2 (each must be at least 1).\n\n"},
        {stack_bytes(4, 2, 0, 2, 64), size + "NX 4, NY 2, NZ 0 (each must be at least 1).\n\n"},
        {stack_bytes(2, 2, 2, 2, 64, false, -4), "Extended header size not acceptable: NSYMBT -4.\n\n"},
        {stack_bytes(60000, 1, 40000, 0, 0),
         "Image too large: NX * NZ = 2400000000 samples, at most 2147483647 supported.\n\n"},
        {stack_bytes(50000, 50000, 1, 0, 0),
         "Image too large: NX * NY * NZ = 2500000000 samples, at most 2147483647 supported.\n\n"},
        {stack_bytes(4, 3, 2, 2, 95), "Input file too short: 1119 bytes, the header describes 1120.\n\n"},
        {stack_bytes(4, 3, 2, 1, 10), "Input file too short: 1034 bytes, the header describes 1072.\n\n"},
        {stack_bytes(2, 1, 1, 0, 2, false, 1024), "Input file too short: 1026 bytes, the header describes 2050.\n\n"},
    };
    for (const BadHeader& c : cases) {
        TempDir dir;
        const std::string path = dir.file("bad.mrc");
        write_file(path, c.bytes);
        Captured r = capture_exit([&] {
            static FILE* f = fopen(path.c_str(), "r");  // static: reachable when the process ends
            mrc_read_header(f);
        });
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, c.message);
        EXPECT_EQ(r.out, "");
        // The non-ending variant reports the same message and leaves out alone.
        FILE* f = fopen(path.c_str(), "r");
        MrcHeaderRead out{nullptr, 42, nullptr, 0};
        const std::string message = mrc_try_read_header(f, &out);
        fclose(f);
        EXPECT_EQ(message, c.message);
        EXPECT_EQ(out.swapped, 42);
    }
}

TEST(MrcHeader, PipeSkipsTheLengthCheckButNotTheExtendedHeader) {
    for (size_t keep : {1024 + 16 + 2, 1024 + 8}) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        const std::string bytes = stack_bytes(2, 1, 1, 0, 18, false, 16).substr(0, keep);
        ASSERT_EQ(write(fds[1], bytes.data(), bytes.size()), (ssize_t)bytes.size());
        close(fds[1]);
        FILE* f = fdopen(fds[0], "r");
        MrcHeaderRead r{};
        const std::string message = mrc_try_read_header(f, &r);
        fclose(f);
        EXPECT_EQ(message, keep > 1024 + 16 ? "" : "Error reading extended header.\n\n");
    }
}
