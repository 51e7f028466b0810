// Limits met before any work (cgroup, address space, 32 bits) and stop signals, which remove the temporary output.
#include <signal.h>
#include <unistd.h>

#include <regex>

#include "support/common.h"

namespace {

// skarbel run by the shell after `setup` (a cgroup move, a ulimit).
Captured run_after(const std::string& setup, const std::vector<std::string>& args) {
    std::string command = setup + " && exec " SKARBEL_BIN;
    for (const std::string& a : args) command += " '" + a + "'";
    return run_program({"/bin/sh", "-c", command}, {"CUDA_VISIBLE_DEVICES="});
}

const std::regex memory_refusal("^Not enough memory for this run: 988\\.[0-9]{2} Mb needed, [0-9.]+ Mb available\\.\n\n$");

// The -z1024 -s0 run (about 988 Mb) under `setup`: refused before anything is written; --estimate names the limit.
void expect_refused_under(const std::string& setup, const std::string& limit) {
    TempDir dir;
    write_test_stack(dir.file("s.mrc"), 1024, 16, 61, 2, std::vector<float>((size_t)1024 * 16 * 61, 1.0f));
    write_tilt_file(dir.file("t.tlt"), even_angles(61));
    std::vector<std::string> args = {"-z1024", "-s0", dir.file("t.tlt"), dir.file("s.mrc"), dir.file("o.mrc")};
    const Captured r = run_after(setup, args);
    EXPECT_EQ(r.status, 255) << r.err;
    EXPECT_TRUE(std::regex_search(r.err, memory_refusal)) << r.err;
    EXPECT_EQ(names_in(dir.path), (std::set<std::string>{"t.tlt", "s.mrc"}));
    args.insert(args.begin(), "--estimate");
    const std::string out = run_after(setup, args).out;
    EXPECT_TRUE(std::regex_search(out, std::regex("\nHost memory available: [0-9.]+ Mb \\(" + limit + "\\)\n"))) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex("\nWBP level 0: 984\\.[0-9]{2} Mb device, does not fit\n"))) << out;
}

}  // namespace

TEST(RunLimits, SmallMemoryCgroupRefusesBeforeAnyWork) {
    // A child of this process's memory cgroup (v1), made by the shell, limited to 300 MB.
    const std::string cgroup = "/sys/fs/cgroup/memory$(sed -n 's/^[0-9]*:memory://p' /proc/self/cgroup)/skarbel-test-" +
                               std::to_string(getpid());
    if (geteuid() != 0 ||
        run_program({"/bin/sh", "-c", "mkdir " + cgroup + " && echo 314572800 > " + cgroup + "/memory.limit_in_bytes"}).status)
        GTEST_SKIP() << "needs root and a writable cgroup v1 memory controller";
    expect_refused_under("echo $$ > " + cgroup + "/cgroup.procs", "cgroup limit");
    run_program({"/bin/sh", "-c", "rmdir " + cgroup});
}

TEST(RunLimits, AddressSpaceLimitRefusesBeforeAnyWork) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer's shadow memory needs an unlimited address space";
#endif
    expect_refused_under("ulimit -v 700000", "address-space limit");
}

TEST(RunLimits, StopSignalsRemoveTheTemporaryOutputAndKeepTheOldOne) {
    for (auto [signo, name] : {std::pair{SIGTERM, "SIGTERM"}, {SIGINT, "SIGINT"}, {SIGHUP, "SIGHUP"}, {SIGXCPU, "SIGXCPU"}}) {
        TiltSeries t(96, 48, 41);
        write_file(t.out, "the previous volume");
        // A run of seconds, stopped a moment after its temporary output appears beside the three files.
        const Captured r =
            run_program_signalled({SKARBEL_BIN, "-S", "-i400", "--batch=1", t.tlt, t.stack, t.out},
                                  {"CUDA_VISIBLE_DEVICES="}, [&] { return names_in(t.dir.path).size() == 4; }, signo, 0.3);
        EXPECT_EQ(r.status, 128 + signo) << r.err;
        EXPECT_TRUE(r.err.ends_with(std::string("\n\nStopped by signal ") + name + ": no output written.\n\n")) << r.err;
        EXPECT_EQ(names_in(t.dir.path), (std::set<std::string>{"t.tlt", "s.mrc", "o.mrc"})) << name;
        EXPECT_EQ(read_file(t.out), "the previous volume") << name;
        EXPECT_EQ(r.out.find("**Slice:   48 / 48"), std::string::npos) << name;  // stopped part way
    }
}

// Sizes in 64 bits: half of 2147483647 rows is no negative number.
TEST(RunLimits, SizesInSixtyFourBits) {
    TiltSeries t(32, 4, 21);
    const Captured e = run_skarbel({"--estimate", "-z2147483647", "--width=1", t.tlt, t.stack, t.out});
    const std::regex too_large("WBP level [0-3]: [0-9]+\\.00 Mb device, too large for 32-bit element counts");
    EXPECT_EQ(std::distance(std::sregex_iterator(e.out.begin(), e.out.end(), too_large), std::sregex_iterator()), 4) << e.out;
}
