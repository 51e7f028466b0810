// Appends handed to the disk as they go, and a header rewritten at the end,
// read back as written.
#include "support/common.h"

#include "driver/write_behind.h"

TEST(WriteBehind, AppendsAndARewrittenHeaderReadBackAsWritten) {
    TempDir dir;
    const std::string path = dir.file("v.bin");
    FILE* f = fopen(path.c_str(), "w+");
    ASSERT_NE(f, nullptr);
    std::string expected(1024, 'h');
    ASSERT_EQ(fwrite(expected.data(), 1, expected.size(), f), expected.size());
    WriteBehind w;
    for (int call = 0; call < 5; ++call) {
        // Sizes that are not whole pages, so pages straddle the calls.
        const std::string part((size_t)(300000 + 4097 * call), (char)('a' + call));
        ASSERT_EQ(fwrite(part.data(), 1, part.size(), f), part.size());
        write_behind(&w, f);
        expected += part;
        EXPECT_EQ(w.started, (int64_t)expected.size());
    }
    EXPECT_GT(w.dropped, 0);
    ASSERT_EQ(fseek(f, 0, SEEK_SET), 0);
    ASSERT_EQ(fwrite("HEADER", 1, 6, f), 6u);
    ASSERT_EQ(fclose(f), 0);
    expected.replace(0, 6, "HEADER");
    EXPECT_EQ(read_file(path), expected);
}
