// A failed run keeps an existing output, refuses before taking memory, and writes a header that fits the data.
#include "support/common.h"
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <memory>

#include "driver/disk_space.h"
#include "driver/output_header.h"
#include "driver/run.h"
#include "driver/volume_stats.h"
#include "gpu/gpu_layer.h"
#include "io/mrc_header.h"

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

}  // namespace

// Slices and SIRT buffers beyond the memory are refused before any is taken; the existing output kept.
TEST(FailedRun, RefusedForMemoryKeepsTheExistingOutput) {
    TiltSeries k(16, 2, 5);
    write_file(k.out, "a previous result");
    const Captured r = run_in_process({"-S", "-z16777216", k.tlt, k.stack, k.out}, 1024.0f);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "Not enough memory for this run: 10368.00 Mb needed, 1024.00 Mb available.\n\n");
    EXPECT_EQ(read_file(k.out), "a previous result");
    EXPECT_EQ(names_in(k.dir.path), (std::set<std::string>{"t.tlt", "s.mrc", "o.mrc"}));
}

// The output goes through a temporary file: links followed, modes as fopen or the replaced file, none left over.
TEST(OutputFile, LinksBareNamesAndModes) {
    TiltSeries k(6, 2, 5);
    const size_t size = 1024 + 6 * 6 * 2 * 4;
    write_file(k.dir.file("target.mrc"), "old");
    std::filesystem::create_symlink("target.mrc", k.out);
    ASSERT_EQ(run_in_process({k.tlt, k.stack, k.out}).status, 0);
    EXPECT_TRUE(std::filesystem::is_symlink(k.out));
    EXPECT_EQ(read_file(k.dir.file("target.mrc")).size(), size);

    const mode_t before = umask(027);
    const Captured bare = run_in_process({k.tlt, k.stack, "bare.mrc"}, -1.0f, k.dir.path);
    ASSERT_EQ(bare.status, 0) << bare.err;
    struct stat st;
    EXPECT_TRUE(stat(k.dir.file("bare.mrc").c_str(), &st) == 0 && st.st_size == (off_t)size && (st.st_mode & 0777) == 0640);
    const std::string kept = k.dir.file("kept.mrc");
    for (const mode_t mode : {0604u, 0640u, 0600u, 0755u}) {
        write_file(kept, "a previous result");
        chmod(kept.c_str(), mode);
        EXPECT_EQ(run_in_process({k.tlt, k.stack, kept}).status, 0);
        EXPECT_TRUE(stat(kept.c_str(), &st) == 0 && st.st_size == (off_t)size && (st.st_mode & 07777) == mode) << mode;
    }
    umask(before);
    EXPECT_EQ(names_in(k.dir.path),
              (std::set<std::string>{"t.tlt", "s.mrc", "o.mrc", "target.mrc", "bare.mrc", "kept.mrc"}));
}

// An output folder that cannot hold the whole output refuses the run up front; --estimate says so.
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

// Slice statistics are two passes in double in storage order (exponents 2^-40 .. 2^40 show any other order);
// merged slices give the whole volume's, also where the mean dwarfs the spread.
TEST(VolumeStats, SlicesAndTheWholeVolume) {
    const struct {
        double offset, spread;
        int n, slices;  // slice size and count; spread 0: exponents spread
    } cases[] = {{0.0, 1.0, 1000, 7}, {1.0e4, 1.0e-2, 512, 9}, {5.0, 0.5, 1, 300}, {-3e20, 1e19, 64, 3}, {0, 0, 1000, 11}};
    for (const auto& c : cases) {
        std::mt19937 rng(7);
        std::normal_distribution<double> noise(0.0, 1.0);
        std::uniform_real_distribution<float> mantissa(-2.0f, 2.0f);
        std::vector<float> v((size_t)c.n * c.slices);
        for (size_t i = 0; i < v.size(); ++i)
            v[i] = c.spread ? (float)(c.offset + c.spread * noise(rng) + 0.01 * (double)(i / c.n))
                            : std::ldexp(mantissa(rng), (int)(rng() % 81) - 40);
        if (!c.spread) v[5] = -0.0f, v[c.n + 7] = 0.0f, v[2 * c.n + 9] = v[4 * c.n - 1] = std::nanf("");
        std::vector<VolumeStats> each((size_t)c.slices);
        volume_stats_of_slices(v.data(), c.n, c.slices, each.data());
        VolumeStats s, t;
        for (int k = 0; k < c.slices; ++k) {
            const float* x = v.data() + (size_t)k * c.n;
            volume_stats_add(&s, x, c.n);
            volume_stats_merge(&t, each[(size_t)k]);
            double sum = 0, m2 = 0;
            for (int i = 0; i < c.n; ++i) sum += x[i];
            for (int i = 0; i < c.n; ++i) m2 += ((double)x[i] - sum / c.n) * ((double)x[i] - sum / c.n);
            std::vector<float> numbers;
            std::copy_if(x, x + c.n, std::back_inserter(numbers), [](float f) { return !std::isnan(f); });
            const auto [lo, hi] = std::minmax_element(numbers.begin(), numbers.end());
            const VolumeStats& g = each[(size_t)k];
            EXPECT_TRUE(std::isnan(sum) ? std::isnan(g.sum) && std::isnan(g.m2) : g.sum == sum && g.m2 == m2) << k;
            EXPECT_EQ(std::vector<float>({g.min, g.max}), std::vector<float>({*lo, *hi})) << "slice " << k;
            EXPECT_EQ(g.count, c.n);
        }
        if (!c.spread) continue;
        EXPECT_EQ(std::vector<double>({t.min, t.max, t.sum, t.m2}), std::vector<double>({s.min, s.max, s.sum, s.m2}));
        double sum = 0, sq = 0;  // two passes in double over the volume
        for (float x : v) sum += x;
        const double mean = sum / (double)v.size();
        for (float x : v) sq += ((double)x - mean) * ((double)x - mean);
        EXPECT_EQ(s.count, (int64_t)v.size());
        EXPECT_EQ(s.min, *std::min_element(v.begin(), v.end()));
        EXPECT_EQ(s.max, *std::max_element(v.begin(), v.end()));
        EXPECT_EQ(volume_stats_mean(s), (float)mean) << c.offset;
        EXPECT_NEAR(volume_stats_rms(s), std::sqrt(sq / (double)v.size()), 1e-6 * std::sqrt(sq / (double)v.size())) << c.offset;
    }
    // A volume without a number gets NaN for DMIN and DMAX.
    VolumeStats none;
    const float nans[2] = {NAN, NAN};
    volume_stats_add(&none, nans, 2);
    MrcHeader h{};
    complete_output_header(&h, 1, 1, 2, none, InputSpacing{});
    EXPECT_TRUE(std::isnan(h.dmin) && std::isnan(h.dmax)) << h.dmin;
}

// Converting each piece just before counting it gives the separate passes' values and statistics bit for bit.
TEST(VolumeStats, FormattedInOneWalkAsInSeparatePasses) {
    const int n = 2 * 4096 + 5, slices = 9;
    std::mt19937 rng(4);
    std::uniform_real_distribution<float> value(-40000.0f, 70000.0f);
    std::vector<float> v((size_t)n * slices);
    for (float& x : v) x = value(rng);
    for (const OutputFormat f : {OutputFormat{1, 0, 1}, OutputFormat{6, 10, 0.5}, OutputFormat{12, 0, 1},
                                 OutputFormat{12, 1, 3}, OutputFormat{2, -3, 1e30}}) {
        std::vector<float> want = v, got = v;
        std::vector<VolumeStats> expected((size_t)slices), stats((size_t)slices);
        for (int s = 0; s < slices; ++s) expected[(size_t)s].clamped = output_values(&want[(size_t)s * n], n, f);
        std::vector<int64_t> clamped;
        for (const VolumeStats& e : expected) clamped.push_back(e.clamped);
        volume_stats_of_slices(want.data(), n, slices, expected.data());
        format_slices_with_stats(got.data(), n, slices, f, stats.data());
        EXPECT_EQ(0, std::memcmp(want.data(), got.data(), want.size() * sizeof(float))) << "mode " << f.mode;
        for (int s = 0; s < slices; ++s) {
            const VolumeStats &e = expected[(size_t)s], &g = stats[(size_t)s];
            EXPECT_EQ(std::vector<double>({g.min, g.max, g.sum, g.m2, (double)g.count, (double)g.clamped}),
                      std::vector<double>({e.min, e.max, e.sum, e.m2, (double)n, (double)clamped[(size_t)s]}))
                << "mode " << f.mode << " slice " << s;
        }
    }
}

// The output's CELLA carries the input's voxel size where the input states it
// along X (MX > 0 and CELLA X > 0) or Y.
TEST(OutputHeader, CellFromTheInputSpacing) {
    const struct {
        float cella_x, cella_y;
        int mx, my;
        float out_x, out_y, out_z;  // expected output CELLA for 16 x 5 x 12
    } cases[] = {{32, 48, 16, 12, 32, 10, 48}, {3.2f, 0, 8, 12, 6.4f, 2, 0}, {32, 24, 0, 12, 0, 0, 24},
                 {-5, 24, 16, 12, 0, 0, 24}};
    for (const auto& c : cases) {
        MrcHeader in{}, out{};
        in.cella[0] = c.cella_x;
        in.cella[1] = c.cella_y;
        in.mx = c.mx;
        in.my = c.my;
        complete_output_header(&out, 16, 5, 12, VolumeStats{}, input_spacing(in));
        EXPECT_EQ(std::vector<float>(out.cella, out.cella + 3), std::vector<float>({c.out_x, c.out_y, c.out_z}))
            << c.cella_x << " " << c.mx << " " << c.cella_y << " " << c.my;
    }
}
