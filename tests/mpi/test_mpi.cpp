// skarbel-mpi: the bytes of one process at any rank count, and failures that end
// the job once, files untouched. A time limit turns a hang into a failure.
#include <signal.h>

#include <chrono>

#include "support/common.h"
#include "tools/textured_slab.h"

#if !defined(SKARBEL_MPI_BIN)
TEST(Mpi, BuiltWithoutMpi) { GTEST_SKIP() << "built without MPI"; }
#else
namespace {

// Forty seconds at most per job; two cores run up to five ranks.
Captured run_mpi(std::vector<std::string> launch) {
    std::vector<std::string> argv{"/usr/bin/timeout", "-k", "5", "40", SKARBEL_MPIEXEC, "--oversubscribe",
                                  "--allow-run-as-root"};
    argv.insert(argv.end(), launch.begin(), launch.end());
    // Open MPI's own allocations are no business of the leak checker.
    return run_program(argv, {"CUDA_VISIBLE_DEVICES=", "OMP_NUM_THREADS=1", "ASAN_OPTIONS=detect_leaks=0"});
}

struct Stack {
    TempDir dir;
    std::string tlt = dir.file("t.tlt"), mrc = dir.file("s.mrc"), out = dir.file("o.mrc");
    explicit Stack(int ny) {
        std::vector<float> v((size_t)16 * ny * 7);
        for (size_t i = 0; i < v.size(); ++i) v[i] = (float)((i * 31) % 101) - 45.0f;
        write_test_stack(mrc, 16, ny, 7, 2, v);
        write_tilt_file(tlt, {-60, -40, -20, 0, 20, 40, 55});  // level 3 falls back, with a warning
    }
};

size_t count_of(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

}  // namespace

TEST(Mpi, SameBytesAsOneProcess) {
    const struct {
        int ranks;
        std::vector<std::string> options;
    } cases[] = {
        {1, {"-s0"}}, {2, {"-s2"}}, {3, {"-S", "-i2"}}, {5, {"-s0"}}, {5, {"-S", "-i2"}},
        {3, {"-s2", "--slices=1,5"}}, {2, {"-s3"}}, {2, {"-S", "-i2", "--batch=2"}},
        {5, {"-s2", "--slices=2,4"}},  // more ranks than slices
        // An aligned stack: each rank reconstructs the untilted slices its slab needs.
        {3, {"-s2", "--offset=-0.4,2.5", "--shift=1,-2", "--width=12", "--xaxis-tilt=20"}},
        {2, {"-S", "-i2", "--bin=2", "--xaxis-tilt=-10", "--slices=0,2"}},
        {3, {"-s2", "--sirt-like=7"}},
        // Output modes with clamping (one warning line), XY sections, logarithms of the input.
        {3, {"-s2", "--mode=12", "--scale=0,15000", "--rotx"}}, {2, {"-S", "-i2", "--mode=1", "--scale=0.5,6000"}},
        {3, {"-s0", "--log=50", "--rotx", "--slices=1,5", "--batch=2"}}, {2, {"-s1", "--mode=6", "--scale=2,9000"}},
        {3, {"-s2", "--xaxis-tilt=15", "--width=12", "--mode=12", "--scale=0,20000", "--rotx", "--batch=2"}},
    };
    Stack k(7);
    for (const auto& c : cases) {
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"-z9", k.tlt, k.mrc});
        const std::string what = std::to_string(c.ranks) + " " + c.options[0] + " " + c.options.back();
        std::vector<std::string> one = args, job = {"-np", std::to_string(c.ranks), SKARBEL_MPI_BIN};
        one.push_back(k.dir.file("one.mrc"));
        job.insert(job.end(), args.begin(), args.end());
        job.push_back(k.out);
        const Captured single = run_skarbel(one), r = run_mpi(job);
        ASSERT_EQ(r.status, 0) << what << r.err;
        EXPECT_EQ(read_file(k.out), read_file(k.dir.file("one.mrc"))) << what;
        // Method, progress and device lines from rank 0 alone.
        EXPECT_EQ(r.err, single.err) << what;
        EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1), single.out.substr(0, single.out.find('\n') + 1)) << what;
        EXPECT_TRUE(r.out.ends_with(single.out.substr(single.out.rfind("**Slice")))) << what << r.out;
        EXPECT_EQ(count_of(r.out, "Symmetry level") + count_of(r.out, "Iterations"), 1u) << what;
    }
}

TEST(Mpi, FailuresEndTheJobOnce) {
    Stack k(5), cut(5);
    // A stack cut short: refused by the rank that opens it.
    write_file(cut.mrc, read_file(k.mrc).substr(0, 2000));
    const std::string too_short = "Input file too short: 2000 bytes, the header describes 3264.\n\n";
    const struct {
        std::string name;
        std::vector<std::string> launch;
        std::string message;
    } cases[] = {
        {"truncated", {"-np", "3", SKARBEL_MPI_BIN, k.tlt, cut.mrc, k.out}, too_short},
        {"unwritable", {"-np", "2", SKARBEL_MPI_BIN, k.tlt, k.mrc, k.dir.file("none/o.mrc")},
         "Unable to open output file.\n\n"},
        {"output_is_input", {"-np", "2", SKARBEL_MPI_BIN, k.tlt, k.mrc, k.mrc},
         "Output file is the input tilt series; refusing to overwrite it.\n\n"},
        // Rank 1 alone meets the cut stack, after rank 0 has made the temporary output.
        {"rank_1_fails", {"-np", "1", SKARBEL_MPI_BIN, k.tlt, k.mrc, k.out, ":", "-np", "1", SKARBEL_MPI_BIN, k.tlt,
                          cut.mrc, k.out}, too_short},
    };
    const std::string input = read_file(k.mrc), previous = "a previous result";
    for (const auto& c : cases) {
        write_file(k.out, previous);
        const Captured r = run_mpi(c.launch);
        EXPECT_EQ(r.status, 255) << c.name << r.err;
        EXPECT_EQ(count_of(r.err, c.message), 1u) << c.name << r.err;
        EXPECT_EQ(read_file(k.mrc), input) << c.name;
        EXPECT_EQ(read_file(k.out), previous) << c.name;
        EXPECT_EQ(names_in(k.dir.path), (std::set<std::string>{"t.tlt", "s.mrc", "o.mrc"})) << c.name;
    }
}

// --position: rank 0 finds the slab and every rank runs with what it printed.
TEST(Mpi, PositionAsOneProcess) {
    TempDir dir;
    const std::vector<float> angles = phantom_tilt_angles(61, 60);
    const TexturedSlab slab = textured_slab({2, -1, 10, 50}, 128, 96, 60, 5.0, 1);
    write_test_stack(dir.file("s.mrc"), 128, 96, 61, 2, slab_project(slab, 128, 96, angles));
    write_tilt_file(dir.file("s.tlt"), angles);
    const std::vector<std::string> args{"--position", "-z150", dir.file("s.tlt"), dir.file("s.mrc")};
    std::vector<std::string> one = args, job = {"-np", "3", SKARBEL_MPI_BIN};
    one.push_back(dir.file("one.mrc"));
    job.insert(job.end(), args.begin(), args.end());
    job.push_back(dir.file("o.mrc"));
    const Captured single = run_skarbel(one), r = run_mpi(job);
    ASSERT_EQ(single.status, 0) << single.err;
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir.file("o.mrc")), read_file(dir.file("one.mrc")));
    // The options line once, as the single process printed it.
    const size_t from = single.out.find('\n') + 1, to = single.out.find('\n', from) + 1;
    const std::string options = single.out.substr(from, to - from);
    EXPECT_EQ(count_of(r.out, options), 1u) << r.out;
    EXPECT_EQ(count_of(r.out, "Position: "), 1u) << r.out;
}

// A scheduler's SIGTERM through mpirun ends the job within seconds, its temporary output removed.
TEST(Mpi, StopSignalEndsTheJob) {
    TiltSeries t(96, 48, 41);
    write_file(t.out, "a previous result");  // --foreground: timeout hands the signal to mpirun alone
    const std::vector<std::string> argv = {"/usr/bin/timeout", "--foreground", "-k", "5", "40", SKARBEL_MPIEXEC,
        "--oversubscribe", "--allow-run-as-root", "-np", "2", SKARBEL_MPI_BIN, "-S", "-i3000", "--batch=1", t.tlt, t.stack, t.out};
    const auto start = std::chrono::steady_clock::now();
    const Captured r = run_program_signalled(argv, {"CUDA_VISIBLE_DEVICES=", "OMP_NUM_THREADS=1", "ASAN_OPTIONS=detect_leaks=0"},
                                             [&] { return names_in(t.dir.path).size() == 4; }, SIGTERM, 0.5);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 20.0);  // not minutes
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(count_of(r.err, "Stopped by signal SIGTERM: no output written.\n\n"), 1u) << r.err;
    EXPECT_EQ(names_in(t.dir.path), (std::set<std::string>{"t.tlt", "s.mrc", "o.mrc"}));
    EXPECT_EQ(read_file(t.out), "a previous result");
}
#endif
