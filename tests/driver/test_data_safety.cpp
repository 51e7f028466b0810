// A run that fails leaves an existing output as it was, refuses what it
// cannot do before taking memory, and writes a header that describes the data.
#include "support/common.h"
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <memory>

#include <set>

#include "driver/disk_space.h"
#include "driver/output_header.h"
#include "driver/run.h"
#include "driver/volume_stats.h"
#include "gpu/gpu_layer.h"

namespace {

// skarbel_main in a child on the host device, with the host's memory capped at cap_mb (< 0: none).
Captured run_in_process(std::vector<std::string> args, float cap_mb = -1.0f, const std::string& folder = "") {
    return capture_exit([&] {
        setenv("CUDA_VISIBLE_DEVICES", "", 1);
        host_memory_cap_mb = cap_mb;
        if (!folder.empty() && chdir(folder.c_str()) != 0) exit(99);
        std::vector<char*> argv{const_cast<char*>("skarbel")};
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        exit(skarbel_main((int)argv.size() - 1, argv.data()));
    });
}

std::set<std::string> names_in(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder)) names.insert(e.path().filename());
    return names;
}

struct Refused {
    const char* name;
    int nx;
    std::vector<std::string> options;
    const char* output;  // nullptr: the existing o.mrc
    std::string message;
};

void PrintTo(const Refused& c, std::ostream* os) { *os << c.name; }

class FailedRun : public ::testing::TestWithParam<Refused> {};

TEST_P(FailedRun, IsRefusedAndKeepsTheExistingOutput) {
    const Refused& c = GetParam();
    TiltSeries k(c.nx, 2, 5);
    const std::string previous = "a previous result";
    write_file(k.out, previous);
    std::vector<std::string> args = c.options;
    for (const std::string& f : {k.tlt, k.stack, c.output ? std::string(c.output) : k.out}) args.push_back(f);
    const Captured r = run_in_process(args, 1024.0f);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, c.message);
    EXPECT_EQ(read_file(k.out), previous);
    EXPECT_EQ(names_in(k.dir.path), (std::set<std::string>{"t.tlt", "s.mrc", "o.mrc"}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FailedRun,
    ::testing::Values(
        // 1.2 Gb of slice on the host and 9 Gb of SIRT buffers, refused before any is taken.
        Refused{"memory", 16, {"-S", "-z16777216"}, nullptr,
                "Not enough memory for this run: 10368.00 Mb needed, 1024.00 Mb available.\n\n"},
        Refused{"one_sample_wide", 1, {}, nullptr,
                "Image width not acceptable: NX 1 (at least 2 samples are needed).\n\n"},
        Refused{"thickness_beyond_32_bits", 16, {"-z4294967297"}, nullptr,
                "Value of option -z out of range: 4294967297 (it must fit a 32-bit integer).\n\n"},
        Refused{"iterations_beyond_32_bits", 16, {"-S", "-i4294967297x"}, nullptr,
                "Value of option -i out of range: 4294967297x (it must fit a 32-bit integer).\n\n"},
        Refused{"gpu_below_32_bits", 16, {"-g-2147483649"}, nullptr,
                "Value of option -g out of range: -2147483649 (it must fit a 32-bit integer).\n\n"},
        Refused{"level_beyond_32_bits", 16, {"-s4294967296"}, nullptr,
                "Value of option -s out of range: 4294967296 (it must fit a 32-bit integer).\n\n"},
        Refused{"output_is_stdout", 16, {}, "/dev/stdout",
                "Output file is the standard output; refusing to write the volume there.\n\n"},
        Refused{"output_is_stderr", 16, {}, "/dev/stderr",
                "Output file is the standard error; refusing to write the volume there.\n\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// The volume goes through a temporary file: a symbolic link keeps pointing at
// its target, a bare name lands in the current folder, and a new file gets the
// mode fopen would give it.
TEST(OutputFile, LinksBareNamesAndMode) {
    TiltSeries k(6, 2, 5);
    const size_t size = 1024 + 6 * 6 * 2 * 4;
    write_file(k.dir.file("target.mrc"), "old");
    std::filesystem::create_symlink("target.mrc", k.out);
    ASSERT_EQ(run_in_process({k.tlt, k.stack, k.out}).status, 0);
    EXPECT_TRUE(std::filesystem::is_symlink(k.out));
    EXPECT_EQ(read_file(k.dir.file("target.mrc")).size(), size);

    const mode_t before = umask(027);
    const Captured bare = run_in_process({k.tlt, k.stack, "bare.mrc"}, -1.0f, k.dir.path);
    umask(before);
    ASSERT_EQ(bare.status, 0) << bare.err;
    struct stat st;
    ASSERT_EQ(stat(k.dir.file("bare.mrc").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, (off_t)size);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(names_in(k.dir.path), (std::set<std::string>{"t.tlt", "s.mrc", "o.mrc", "target.mrc", "bare.mrc"}));
}

// A replaced output keeps the mode bits of the file it replaces, whatever the
// umask (which a new file would take), and no temporary file is left behind.
TEST(OutputFile, ReplacedOutputKeepsItsModeBits) {
    for (const mode_t mode : {0604u, 0640u, 0600u, 0755u}) {
        TiltSeries k(6, 2, 5);
        write_file(k.out, "a previous result");
        chmod(k.out.c_str(), mode);
        const mode_t before = umask(022);
        EXPECT_EQ(run_in_process({k.tlt, k.stack, k.out}).status, 0);
        umask(before);
        struct stat st;
        EXPECT_TRUE(stat(k.out.c_str(), &st) == 0 && st.st_size == 1024 + 6 * 6 * 2 * 4 && (st.st_mode & 07777) == mode);
        EXPECT_EQ(names_in(k.dir.path), (std::set<std::string>{"t.tlt", "s.mrc", "o.mrc"}));
    }
}

// The output's folder must hold the whole output before the run starts: a
// tmpfs made here (where the machine lets the test mount one) refuses a run
// whose output it cannot hold, nothing created and an existing output of 40 kB
// untouched (it keeps its space until replaced); --estimate says so.
TEST(DiskSpace, SmallFileSystemRefusesTheRun) {
    EXPECT_FALSE(output_disk_space("/dev/null").known);  // written directly, not into a folder
    TiltSeries k(16, 5, 9);
    const std::string small = k.dir.file("small"), out = small + "/o.mrc";
    mkdir(small.c_str(), 0755);
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0) GTEST_SKIP() << "cannot mount a tmpfs here";
    const std::unique_ptr<const char, void (*)(const char*)> unmount(small.c_str(), [](const char* p) { umount2(p, MNT_DETACH); });
    write_file(out, std::string(40000, 'p'));
    struct statvfs fs;
    statvfs(small.c_str(), &fs);
    const double free_mb = (double)fs.f_bavail * (double)fs.f_frsize / 1048576.0, size = 1024 + 2 * 16 * 250 * 4;
    ASSERT_TRUE(size > free_mb * 1048576 && size < free_mb * 1048576 + 40000);
    std::vector<std::string> args{"-z250", "--rotx", "--mode=12", "--slices=1,4", k.tlt, k.stack, out};
    char message[200], line[200];
    snprintf(message, sizeof message, "Not enough disk space for the output: %.2f Mb needed, %.2f Mb free in %s.\n\n",
             size / 1048576.0, free_mb, small.c_str());
    snprintf(line, sizeof line, "\nOutput file: 33024 bytes, %.2f Mb free in %s, does not fit\n", free_mb, small.c_str());
    const Captured r = run_skarbel(args);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, message);
    EXPECT_EQ(read_file(out), std::string(40000, 'p'));
    EXPECT_EQ(names_in(small), (std::set<std::string>{"o.mrc"}));
    args.insert(args.begin(), "--estimate");
    EXPECT_TRUE(run_skarbel(args).out.ends_with(line));
    std::filesystem::remove(out);  // now there is room
    EXPECT_EQ(run_skarbel(args).out.find("does not fit"), std::string::npos);
}

// DMIN and DMAX are those of the numbers in the volume, whatever their size;
// NaN takes no part, and a volume without a number gets NaN for both.
TEST(VolumeRange, DescribesTheData) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Row {
        std::vector<float> values;
        float dmin, dmax;
    };
    for (const Row& c : std::vector<Row>{{{3e20f, 2e20f, 5e25f}, 2e20f, 5e25f},
                                         {{-3e20f, -5e20f}, -5e20f, -3e20f},
                                         {{nan, 1, nan, -2}, -2, 1},
                                         {{nan, nan}, nan, nan}}) {
        VolumeStats s;
        volume_stats_add(&s, c.values.data(), (int64_t)c.values.size());
        MrcHeader h{};
        complete_output_header(&h, 1, 1, (int)c.values.size(), s, InputSpacing{});
        if (std::isnan(c.dmin)) {
            EXPECT_TRUE(std::isnan(h.dmin) && std::isnan(h.dmax));
        } else {
            EXPECT_EQ(h.dmin, c.dmin);
            EXPECT_EQ(h.dmax, c.dmax);
        }
    }
}

}  // namespace
