// The long options end to end, against runs without them and the set-ups' own memory checks.
#include "support/common.h"

#include <sys/stat.h>

#include <regex>

#include "driver/estimate.h"
#include "driver/option_table.h"
#include "gpu/gpu_layer.h"
#include "method/method.h"
#include "support/arguments.h"
#include "support/tilts.h"

namespace {

// Nine views whose angles pair up (angle(8 - t) = -angle(t)) once the sixth is left out.
const std::vector<float> kAngles{-80, -60, -40, -20, 0, 17, 20, 40, 60};
constexpr int kNx = 16, kNy = 3, kNz = 9;

// The views left by --exclude=6: their angles pair up for level 3.
std::vector<float> paired_angles() {
    std::vector<float> angles = kAngles;
    angles.erase(angles.begin() + 5);
    return angles;
}

float sample(int x, int y, int z) { return (float)((x * 37 + y * 11 + z * 53) % 97) - 40.0f; }

// Writes the stack and tilt file of the views not listed in removed (0-based).
void write_views(const TempDir& dir, const std::string& name, const std::vector<int>& removed) {
    std::vector<float> samples, angles;
    for (int z = 0; z < kNz; ++z) {
        if (std::find(removed.begin(), removed.end(), z) != removed.end()) continue;
        angles.push_back(kAngles[(size_t)z]);
        for (int y = 0; y < kNy; ++y)
            for (int x = 0; x < kNx; ++x) samples.push_back(sample(x, y, z));
    }
    write_test_stack(dir.file(name + ".mrc"), kNx, kNy, (int)angles.size(), 2, samples);
    write_tilt_file(dir.file(name + ".tlt"), angles);
}

std::vector<std::string> with_files(std::vector<std::string> args, const TempDir& dir, const std::string& name) {
    for (const char* ext : {".tlt", ".mrc", ".out"}) args.push_back(dir.file(name + ext));
    return args;
}

}  // namespace

TEST(LongOptions, HelpAndVersionPrintAndSucceed) {
    Captured help = run_skarbel({"-x", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.out, help_text());
    EXPECT_EQ(help.out.rfind(kUsage.substr(1, kUsage.size() - 2), 0), 0u) << help.out;
    Captured version = run_skarbel({"--version", "a", "b"});
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(std::regex_match(version.out, std::regex("skarbel [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << version.out;
}

// Run a on the full stack gives the bytes and texts of run b on the stack without the removed sections.
TEST(LongOptions, ExcludeAndRadialAgainstRunsWithoutThem) {
    struct Case {
        std::vector<std::string> a, b;
        std::vector<int> removed;
        bool same;
    };
    const Case cases[] = {
        {{"-s0", "--exclude=2,5-6"}, {"-s0"}, {1, 4, 5}, true},
        {{"--exclude=9,1"}, {}, {0, 8}, true},
        {{"-s0", "--exclude=2,1-2,2"}, {"-s0"}, {0, 1}, true},
        {{"-s3", "--exclude=6"}, {"-s3"}, {5}, true},  // level 3 without falling back to level 2
        {{"-S", "-i2", "--exclude=3-4"}, {"-S", "-i2"}, {2, 3}, true},
        {{"-S", "-i2", "--radial=0.1,0"}, {"-S", "-i2"}, {}, true},
        {{"-s0", "--radial=0.1,0"}, {"-s0"}, {}, false},
        {{"-s2", "--batch=4", "--exclude=2"}, {"-s2", "--batch=1"}, {1}, true},
    };
    for (const Case& c : cases) {
        TempDir dir;
        write_views(dir, "full", {});
        write_views(dir, "part", c.removed);
        const Captured a = run_skarbel(with_files(c.a, dir, "full")), b = run_skarbel(with_files(c.b, dir, "part"));
        const std::string what = c.a.back();
        ASSERT_EQ(a.status, 0) << what << a.err;
        EXPECT_EQ(a.out, b.out) << what;
        EXPECT_EQ(a.err, b.err) << what;
        EXPECT_EQ(read_file(dir.file("full.out")) == read_file(dir.file("part.out")), c.same) << what;
    }
}

// Refusals the run makes against the stack: message, exit 255, nothing written.
TEST(LongOptions, RefusalsEndTheRunAndWriteNothing) {
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"--exclude=2,8-10"}, "--exclude: section 10 is not in the stack (sections 1 to 9).\n\n"},
        {{"--bin=13"}, "Bad --bin value \"13\": the binned stack would be 1 x 0 pixels; at least 2 x 1 are needed.\n\n"},
        {{"--slices=3,3"}, "Bad --slices value \"3,3\": the stack has 3 slices, numbered from 0.\n\n"},
    };
    TempDir dir;
    write_views(dir, "full", {});
    for (const auto& c : cases) {
        const Captured r = run_skarbel(with_files(c.args, dir, "full"));
        EXPECT_EQ(r.status, 255) << c.args[0];
        EXPECT_EQ(r.err, c.err) << c.args[0];
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 2) << c.args[0];
    }
    // The tilt file names the stack sections by line: it needs a line for every one.
    write_tilt_file(dir.file("full.tlt"), {-80, -60, -40, -20, 0, 20, 40, 60});
    const Captured r = run_skarbel(with_files({"--exclude=6"}, dir, "full"));
    EXPECT_EQ(r.err, "Tilt-angle file ends before line 9: 9 angles are needed.\n\n");
}

// Each printed figure is where the method's own set-up starts refusing.
TEST(LongOptions, EstimateFiguresAreWhereTheSetUpsRefuse) {
    const struct {
        std::vector<float> angles;
        int nx, thickness;
    } cases[] = {{kAngles, 16, 7}, {paired_angles(), 16, 16}, {{-50, -10, 30}, 21, 9}};
    for (const auto& c : cases) {
        const std::vector<a> tilts = tilt_records(c.angles);
        const int n = (int)tilts.size();
        const RunEstimate e = estimate_run(tilts.data(), make_geometry(c.nx, n, c.nx, c.thickness, 3));
        for (int m = 0; m < kEstimatedMethods; ++m) {
            const float mb = e.method[m].device_mb;
            const std::string name = m < 4 ? "WBP level " + std::to_string(m) : "SIRT";
            for (const float memory : {mb, std::nextafter(mb, 0.0f)}) {
                GpuDevice device = gpu_bound_device();
                device.memory_mb = memory;
                const bool fits = memory == mb;
                char line[120], refusal[120];
                snprintf(line, sizeof line, "\n%s: %.2f Mb device, %s", name.c_str(), mb,
                         fits ? "fits" : "does not fit");
                snprintf(refusal, sizeof refusal, "GPU: %2.2f Mb. Not enough memory for run %s: %2.2f Mb\n", memory,
                         m < 4 ? "wbp" : "sirt", mb);
                EXPECT_NE(estimate_text(e, memory, false, 1e9).find(line), std::string::npos) << line;
                const Captured setup = capture_exit([&] {
                    plan_method(method_options(m == 4, m % 4, 1), make_geometry(c.nx, n, c.nx, c.thickness),
                                tilts.data(), device);
                });
                EXPECT_EQ(setup.status, fits ? 0 : 255) << line;
                EXPECT_EQ(setup.err.find(refusal) == std::string::npos, fits) << setup.err;
            }
        }
        // On the host device the start-up check counts the method's buffers with the host's.
        const double total = e.method[4].need.host_mb + e.method[4].need.device_mb;
        const double below = std::nextafter(total, 0.0);
        EXPECT_NE(estimate_text(e, 1e9f, true, total).find(", fits\nHost memory"), std::string::npos);
        EXPECT_NE(estimate_text(e, 1e9f, true, below).find(", does not fit\nHost"), std::string::npos);
        EXPECT_EQ(capture_exit([&] { check_run_memory(e.method[4].need, true, below); }).status, 255);
    }
    // Matrices beyond 32-bit element counts are refused whatever the memory.
    const std::vector<a> flat = tilt_records(std::vector<float>(40, 0.0f));
    const RunEstimate big = estimate_run(flat.data(), make_geometry(8192, 40, 8192, 8192, 1));
    for (int m = 0; m < kEstimatedMethods; ++m) EXPECT_EQ(big.method[m].too_large, m < 2 || m == 4) << m;
}

// --estimate checks the inputs as a run does, honours --exclude, and leaves the folder as it was.
TEST(LongOptions, EstimateChecksLikeARunAndWritesNothing) {
    TempDir dir;
    write_views(dir, "full", {});
    write_tilt_file(dir.file("short.tlt"), {-80, -60, -40, -20, 0, 20, 40, 60});
    const std::string tlt = dir.file("full.tlt"), mrc = dir.file("full.mrc"), out = dir.file("full.out");
    const Captured r = run_skarbel({"--estimate", "-z7", "--exclude=6", tlt, mrc, out});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.rfind("Using device 0: ", 0), 0u) << r.err;
    const RunEstimate e = estimate_run(tilt_records(paired_angles()).data(), make_geometry(kNx, 8, kNx, 7, kNy));
    const std::string expected = estimate_text(e, 1e9f, true, 1e9);
    // The memory lines; the free space beside the output changes from moment to moment.
    const auto memory_lines = [](const std::string& t) {
        const size_t from = t.find("\nWBP level 0");
        return t.substr(from, t.find("\nOutput file:") - from);
    };
    EXPECT_EQ(memory_lines(r.out), memory_lines(expected));
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\nOutput file: 2368 bytes, [0-9]+\\.[0-9][0-9] Mb free in " +
                                                    dir.path + ", fits\n$")))
        << r.out;
    mkfifo(dir.file("pipe").c_str(), 0600);
    const std::pair<std::vector<std::string>, std::string> bad[] = {
        {{"--exclude=10", tlt, mrc, out}, ""}, {{dir.file("short.tlt"), mrc, out}, ""}, {{tlt, mrc, mrc}, ""},
        {{tlt, out, out}, ""},
        {{"--offset=1e39", tlt, mrc, out}, "Bad --offset value: DELANG 1e+39 makes the tilt angle -80 not finite.\n\n"},
        {{"--offset=-4e38,2", tlt, mrc, out}, "Bad --offset value: DELANG -4e+38 makes the tilt angle -80 not finite.\n\n"},
        {{"-s2", tlt, mrc, dir.file("pipe")}, "Output file is a pipe; refusing it: the volume's header is completed last, at "
                                              "the start of the file, which a pipe cannot take back.\n\n"},
    };
    for (auto [args, message] : bad) {
        const Captured run = run_skarbel(args);
        args.insert(args.begin(), "--estimate");
        const Captured estimate = run_skarbel(args);
        EXPECT_EQ(run.status + estimate.status, 2 * 255) << args[2];
        EXPECT_EQ(estimate.err, run.err) << args[2];
        EXPECT_TRUE(run.err.ends_with(message)) << run.err;
    }
    EXPECT_EQ(names_in(dir.path), (std::set<std::string>{"full.tlt", "full.mrc", "short.tlt", "pipe"}));
}
