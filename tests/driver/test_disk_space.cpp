// The output's folder must hold the whole output before the run starts: a
// small file system made in the test (a tmpfs, where this machine lets the test
// mount one) refuses a run whose output it cannot hold, with nothing created
// and an existing output untouched; --estimate prints its free space.
#include "support/common.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <set>

#include "driver/disk_space.h"
#include "driver/output_file.h"

namespace {

constexpr int kNx = 16, kNy = 5, kNz = 9;

std::set<std::string> names_in(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder)) names.insert(e.path().filename());
    return names;
}

double free_bytes(const std::string& folder) {
    struct statvfs fs;
    if (statvfs(folder.c_str(), &fs) != 0) return -1;
    return (double)fs.f_bavail * (double)fs.f_frsize;
}

// A tmpfs of the given size mounted for the test's life.
struct SmallFileSystem {
    std::string path;
    bool mounted = false;
    SmallFileSystem(const std::string& at, const char* size) : path(at) {
        mkdir(path.c_str(), 0755);
        mounted = mount("tmpfs", path.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) == 0;
    }
    ~SmallFileSystem() {
        if (mounted) umount2(path.c_str(), MNT_DETACH);
    }
};

std::string refusal(int64_t needed, double free, const std::string& folder) {
    char text[200];
    snprintf(text, sizeof text, "Not enough disk space for the output: %.2f Mb needed, %.2f Mb free in %s.\n\n",
             (double)needed / 1048576.0, free / 1048576.0, folder.c_str());
    return text;
}

}  // namespace

// The folder asked is the one the temporary file goes in; an output that is
// not a regular file is written directly and asks nothing.
TEST(DiskSpace, FolderOfTheOutput) {
    TempDir dir;
    write_file(dir.file("target.mrc"), "x");
    std::filesystem::create_directory(dir.file("sub"));
    std::filesystem::create_symlink(dir.file("target.mrc"), dir.file("sub/link.mrc"));
    const struct {
        std::string output, folder;
    } cases[] = {{"o.mrc", "."}, {"/o.mrc", "/"}, {dir.file("o.mrc"), dir.path}, {dir.file("sub/link.mrc"), dir.path},
                 {"/dev/null", ""}};
    for (const auto& c : cases) {
        EXPECT_EQ(output_file_folder(c.output.c_str()), c.folder) << c.output;
        const DiskSpace space = output_disk_space(c.output.c_str());
        EXPECT_EQ(space.known, !c.folder.empty()) << c.output;
    }
    EXPECT_EQ(capture_exit([] { check_disk_space(2097152, DiskSpace{true, 2097151, "/x"}); }).err,
              "Not enough disk space for the output: 2.00 Mb needed, 2.00 Mb free in /x.\n\n");
    for (const DiskSpace& room : {DiskSpace{true, 2097152, "/x"}, DiskSpace{false, 0, ""}})
        EXPECT_EQ(capture_exit([&] { check_disk_space(2097152, room); }).status, 0);
}

TEST(DiskSpace, SmallFileSystemRefusesTheRun) {
    TempDir dir;
    TiltSeries k(kNx, kNy, kNz);
    SmallFileSystem small(dir.file("small"), "64k");
    if (!small.mounted) GTEST_SKIP() << "cannot mount a tmpfs here: " << strerror(errno);
    const std::string out = small.path + "/o.mrc";
    // An existing output of 40 kB: it keeps its space until the new file replaces it.
    const std::string previous(40000, 'p');
    write_file(out, previous);
    const double free = free_bytes(small.path);
    ASSERT_GT(free, 0);
    const struct {
        std::vector<std::string> options;
        int64_t size;
    } cases[] = {{{"-z80"}, 1024 + 4LL * kNx * 80 * kNy},
                 {{"-z160", "--mode=12"}, 1024 + 2LL * kNx * 160 * kNy},
                 {{"-z130", "--rotx", "--slices=1,3"}, 1024 + 4LL * kNx * 130 * 3}};
    for (const auto& c : cases) {
        ASSERT_GT((double)c.size, free);
        ASSERT_LT((double)c.size, free + (double)previous.size());
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {k.tlt, k.stack, out});
        const Captured r = run_skarbel(args);
        EXPECT_EQ(r.status, 255) << c.size;
        EXPECT_EQ(r.err, refusal(c.size, free, small.path)) << c.size;
        EXPECT_EQ(read_file(out), previous);
        EXPECT_EQ(names_in(small.path), (std::set<std::string>{"o.mrc"}));
        args.insert(args.begin(), "--estimate");
        char line[200];
        snprintf(line, sizeof line, "\nOutput file: %lld bytes, %.2f Mb free in %s, does not fit\n",
                 (long long)c.size, free / 1048576.0, small.path.c_str());
        EXPECT_TRUE(run_skarbel(args).out.ends_with(line)) << line;
    }
    // Without the old output there is room: the run completes and the estimate says so.
    std::filesystem::remove(out);
    const double room = free_bytes(small.path);
    const Captured estimate = run_skarbel({"--estimate", "-z100", "--mode=12", k.tlt, k.stack, out});
    char line[200];
    snprintf(line, sizeof line, "\nOutput file: %lld bytes, %.2f Mb free in %s, fits\n",
             1024 + 2LL * kNx * 100 * kNy, room / 1048576.0, small.path.c_str());
    EXPECT_TRUE(estimate.out.ends_with(line)) << estimate.out;
    const Captured r = run_skarbel({"-z100", "--mode=12", k.tlt, k.stack, out});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(out).size(), (size_t)(1024 + 2 * kNx * 100 * kNy));
    EXPECT_EQ(names_in(small.path), (std::set<std::string>{"o.mrc"}));
}
