// The output's folder must hold the whole output before the run starts: a
// tmpfs made in the test (where this machine lets it mount one) refuses a run
// whose output it cannot hold, nothing created and an existing output
// untouched, and --estimate prints its free space.
#include "support/common.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include "driver/disk_space.h"
#include "driver/output_file.h"

namespace {

double free_bytes(const std::string& folder) {
    struct statvfs fs;
    return statvfs(folder.c_str(), &fs) == 0 ? (double)fs.f_bavail * (double)fs.f_frsize : -1;
}

std::string text(const char* format, auto... values) {
    char line[200];
    snprintf(line, sizeof line, format, values...);
    return line;
}

}  // namespace

// The folder asked is the one the temporary file goes in; an output that is
// not a regular file is written directly and asks nothing.
TEST(DiskSpace, FolderOfTheOutput) {
    TempDir dir;
    write_file(dir.file("target.mrc"), "x");
    std::filesystem::create_directory(dir.file("sub"));
    std::filesystem::create_symlink(dir.file("target.mrc"), dir.file("sub/link.mrc"));
    for (const auto& [output, folder] : std::vector<std::pair<std::string, std::string>>{
             {"o.mrc", "."}, {"/o.mrc", "/"}, {dir.file("sub/link.mrc"), dir.path}, {"/dev/null", ""}}) {
        EXPECT_EQ(output_file_folder(output.c_str()), folder) << output;
        EXPECT_EQ(output_disk_space(output.c_str()).known, !folder.empty()) << output;
    }
    EXPECT_EQ(capture_exit([] { check_disk_space(2097152, DiskSpace{true, 2097151, "/x"}); }).err,
              "Not enough disk space for the output: 2.00 Mb needed, 2.00 Mb free in /x.\n\n");
    for (const DiskSpace& room : {DiskSpace{true, 2097152, "/x"}, DiskSpace{false, 0, ""}})
        EXPECT_EQ(capture_exit([&] { check_disk_space(2097152, room); }).status, 0);
}

TEST(DiskSpace, SmallFileSystemRefusesTheRun) {
    TiltSeries k(16, 5, 9);
    const std::string small = k.dir.file("small"), out = small + "/o.mrc";
    mkdir(small.c_str(), 0755);
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << strerror(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{small};
    // An existing output of 40 kB keeps its space until the new file replaces it.
    const std::string previous(40000, 'p');
    write_file(out, previous);
    const double free = free_bytes(small);
    for (const auto& [options, size] : std::vector<std::pair<std::vector<std::string>, int64_t>>{
             {{"-z80"}, 1024 + 4 * 16 * 80 * 5}, {{"-z250", "--rotx", "--mode=12", "--slices=1,4"}, 1024 + 2 * 16 * 250 * 4}}) {
        ASSERT_TRUE(size > free && size < free + (double)previous.size()) << size;
        std::vector<std::string> args = options;
        args.insert(args.end(), {k.tlt, k.stack, out});
        const Captured r = run_skarbel(args);
        EXPECT_EQ(r.status, 255) << size;
        EXPECT_EQ(r.err, text("Not enough disk space for the output: %.2f Mb needed, %.2f Mb free in %s.\n\n",
                              size / 1048576.0, free / 1048576.0, small.c_str()));
        EXPECT_EQ(read_file(out), previous);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(small), {}), 1);
        args.insert(args.begin(), "--estimate");
        EXPECT_TRUE(run_skarbel(args).out.ends_with(text("\nOutput file: %lld bytes, %.2f Mb free in %s, does not fit\n",
                                                         (long long)size, free / 1048576.0, small.c_str())));
    }
    // Without the old output there is room: the estimate says so and the run completes.
    std::filesystem::remove(out);
    const Captured estimate = run_skarbel({"--estimate", "-z100", "--mode=12", k.tlt, k.stack, out});
    EXPECT_TRUE(estimate.out.ends_with(text("\nOutput file: %d bytes, %.2f Mb free in %s, fits\n", 1024 + 2 * 16 * 100 * 5,
                                            free_bytes(small) / 1048576.0, small.c_str())))
        << estimate.out;
    EXPECT_EQ(run_skarbel({"-z100", "--mode=12", k.tlt, k.stack, out}).status, 0);
    EXPECT_EQ(read_file(out).size(), (size_t)(1024 + 2 * 16 * 100 * 5));
}
