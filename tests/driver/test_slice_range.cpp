// --slices against whole runs, the refusals of bad ranges, and the split of a
// range into the slabs of the ranks of an MPI job.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "driver/rank_share.h"
#include "driver/slice_range.h"
#include "support/capture.h"
#include "support/files.h"
#include "support/header_bytes.h"

namespace {

constexpr int kNx = 12, kNy = 7, kNz = 5, kThickness = 6;
const std::vector<float> kAngles{-50, -20, 0, 25, 55};

float sample(int x, int y, int z) { return (float)((x * 29 + y * 13 + z * 41) % 89) - 30.0f; }

// Writes name.mrc with rows first..last of the stack, and name.tlt.
void write_rows(const TempDir& dir, const std::string& name, int first, int last) {
    std::vector<float> v;
    for (int z = 0; z < kNz; ++z)
        for (int y = first; y <= last; ++y)
            for (int x = 0; x < kNx; ++x) v.push_back(sample(x, y, z));
    write_test_stack(dir.file(name + ".mrc"), kNx, last - first + 1, kNz, 2, v);
    write_tilt_file(dir.file(name + ".tlt"), kAngles);
}

Captured run(const TempDir& dir, const std::string& name, std::vector<std::string> args) {
    args.insert(args.end(), {"-z6", dir.file(name + ".tlt"), dir.file(name + ".mrc"), dir.file(name + ".out")});
    return run_skarbel(args);
}

}  // namespace

// A range gives the sections of a whole run, and the header of a whole run on a
// stack of only those rows, but for NZSTART.
TEST(SliceRange, SubsetsAreSectionsOfTheWholeRun) {
    TempDir dir;
    write_rows(dir, "all", 0, kNy - 1);
    ASSERT_EQ(run(dir, "all", {}).status, 0);
    const std::string whole = read_file(dir.file("all.out"));
    const size_t section = (size_t)kNx * kThickness * 4;
    for (const auto& [first, last] : std::vector<std::pair<int, int>>{{0, 0}, {6, 6}, {2, 4}, {0, 6}, {1, 6}}) {
        const std::string range = std::to_string(first) + "," + std::to_string(last);
        write_rows(dir, "rows", first, last);
        ASSERT_EQ(run(dir, "rows", {}).status, 0);
        const Captured r = run(dir, "all", {"--slices=" + range});
        ASSERT_EQ(r.status, 0) << range << r.err;
        const int count = last - first + 1;
        char progress[64];
        snprintf(progress, sizeof progress, "**Slice: %4d / %d\r\n\n", count, count);
        EXPECT_TRUE(r.out.ends_with(progress)) << range;
        const std::string part = read_file(dir.file("all.out"));
        std::string rows = read_file(dir.file("rows.out"));
        ASSERT_EQ(part.size(), 1024 + count * section) << range;
        EXPECT_EQ(part.substr(1024), whole.substr(1024 + first * section, count * section)) << range;
        put_i32(rows, 24, first);
        EXPECT_EQ(part.substr(0, 1024), rows.substr(0, 1024)) << range;
    }
}

TEST(SliceRange, BadRangesAreRefused) {
    const std::string expected = "\": expected FIRST,LAST, slice numbers from 0 with FIRST <= LAST.\n\n";
    const struct {
        std::string arg, err;
    } cases[] = {
        {"--slices=4,3", "Bad --slices value \"4,3" + expected},
        {"--slices=-1,3", "Bad --slices value \"-1,3" + expected},
        {"--slices=3", "Bad --slices value \"3" + expected},
        {"--slices=1,2,3", "Bad --slices value \"1,2,3" + expected},
        {"--slices=1, 2", "Bad --slices value \"1, 2" + expected},
        {"--slices=0,4294967296", "Bad --slices value \"0,4294967296" + expected},
        {"--slices=", "Bad --slices value \"" + expected},
        {"--slices=2,7", "Bad --slices value \"2,7\": the stack has 7 slices, numbered from 0.\n\n"},
        {"--slices=7,7", "Bad --slices value \"7,7\": the stack has 7 slices, numbered from 0.\n\n"},
    };
    TempDir dir;
    write_rows(dir, "all", 0, kNy - 1);
    for (const auto& c : cases) {
        const Captured r = run(dir, "all", {c.arg});
        EXPECT_EQ(r.status, 255) << c.arg;
        EXPECT_EQ(r.err, c.err) << c.arg;
        EXPECT_FALSE(std::filesystem::exists(dir.file("all.out"))) << c.arg;
    }
}

// Slabs follow each other in rank order, cover the range, and differ by at most
// one slice, the larger first; ranks beyond the slices get none.
TEST(SliceRange, SlabsSplitTheRangeInOrder) {
    for (int count = 0; count <= 9; ++count)
        for (int parts = 1; parts <= 6; ++parts) {
            const SliceRange range{3, 3 + count - 1};
            int next = range.first;
            for (int p = 0; p < parts; ++p) {
                const SliceRange s = slab_of(range, parts, p);
                const int expected = count / parts + (p < count % parts ? 1 : 0);
                EXPECT_EQ(s.first, next) << count << " " << parts << " " << p;
                EXPECT_EQ(slice_count(s), expected) << count << " " << parts << " " << p;
                next = s.last + 1;
            }
            EXPECT_EQ(next, range.last + 1);
        }
    // Threads: the node's CPUs shared by its ranks, within what the process may use.
    EXPECT_EQ(rank_threads(16, 16, 4), 4);
    EXPECT_EQ(rank_threads(16, 1, 4), 1);
    EXPECT_EQ(rank_threads(2, 2, 5), 1);
    // GPUs: a requested one stays; otherwise the local rank's, modulo the GPUs.
    EXPECT_EQ(rank_gpu(1, 3, 4), 1);
    EXPECT_EQ(rank_gpu(-1, 5, 4), 1);
    EXPECT_EQ(rank_gpu(-1, 5, 0), -1);
}
