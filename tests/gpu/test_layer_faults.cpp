// Device faults injected through the layer's hook, and plans on two devices.
#include "support/common.h"

#include <gmock/gmock.h>

#include <thread>

// The sanitizer's count of heap bytes in use is exact; glibc's counts the blocks
// of its per-thread caches as in use, so the plain build does not compare.
#if defined(__SANITIZE_ADDRESS__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();
static size_t heap_bytes_in_use() { return __sanitizer_get_current_allocated_bytes(); }
#else
static size_t heap_bytes_in_use() { return 0; }
#endif

#include "driver/run.h"
#include "gpu/batch_staging.h"
#include "io/fail.h"
#include "method/method.h"
#include "sirt/sirt.h"
#include "support/tilts.h"

// Fails call number `after` (from 0) at `site`, and no other, while it lives.
static std::atomic<int> fault_site{-1}, fault_countdown{0};
struct InjectedFault {
    InjectedFault(GpuFaultSite site, int after) {
        fault_site = site, fault_countdown = after;
        gpu_fault_hook = [](GpuFaultSite s) { return s == fault_site.load() && fault_countdown.fetch_sub(1) == 0; };
    }
    ~InjectedFault() { gpu_fault_hook = nullptr; }
};

// A staging buffer whose grow fails is left empty, not with its old size and
// no memory. Whichever allocation or copy of the transposed matrix's upload
// fails, the host images are released (the sanitizer build's leak check sees
// it) and what reached the device is in the buffers for the plan to free.
TEST(InjectedFaults, FailedAllocationsAndCopiesLeaveNothingBehind) {
    gpu_use_backend(GPU_BACKEND_HOST);
    BatchBuffer b;
    ASSERT_NE(batch_buffer(b, 100), nullptr);
    EXPECT_THROW((InjectedFault(GPU_FAULT_ALLOC, 0), batch_buffer(b, 1000)), RunError);
    EXPECT_EQ(b.floats, 0u);
    EXPECT_NE(batch_buffer(b, 1000), nullptr);  // allocated afresh
    const std::vector<a> tilts = tilt_records({-30.0f, 0.0f, 30.0f});
    for (const GpuFaultSite site : {GPU_FAULT_ALLOC, GPU_FAULT_COPY_TO_DEVICE})
        for (int after = 0; after < 4; ++after) {
            MethodBuffers d;
            SirtSizes sizes;
            SirtTransposeHost t = sirt_transpose_on_host(tilts.data(), make_geometry(24, 3, 24, 9));
            InjectedFault fault(site, after);
            EXPECT_THROW(sirt_transpose_upload(&t, d, sizes), RunError) << site << " " << after;
            EXPECT_EQ(d.d_matrix_t != nullptr, site == GPU_FAULT_COPY_TO_DEVICE || after > 0);
        }
}

namespace {

// Counts the operations at one site and fails the one numbered fail_at (from 0;
// -1: none).
std::atomic<int> count_site{-1}, count_fail_at{-1}, count_seen{0};
bool counting_hook(GpuFaultSite s) { return s == count_site.load() && count_seen.fetch_add(1) == count_fail_at.load(); }

void count_faults(GpuFaultSite site, int fail_at) {
    count_site = site, count_fail_at = fail_at, count_seen = 0;
    gpu_fault_hook = counting_hook;
}

void main_with_args(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    skarbel_main((int)argv.size(), argv.data());
}

// The program's messages for memory it cannot have, by where it was asked for.
const char* const kMemoryMessages =
    "(.*cudaSafeCall\\(\\) Runtime API error in file <[a-z_]+\\.cpp>, line [0-9]+ : injected fault\\.\n"
    "|.*SIRT: not enough host memory to build the transposed matrix \\([0-9.]+ Mb more\\)\\.\n"
    "|.*Out of memory for the slice buffers\\.\n\n"
    "|.*Unable to allocate memory for FFTs\n)";

}  // namespace

// Each allocation of a run (host arrays, device buffers, FFTW buffers and
// plans), made to fail in turn: WBP with a detector shift and the per-tilt
// filter, and SIRT. Every run ends with the program's memory message and
// status 255, and leaves no output or temporary file. A fork runs each, so
// that the counts start afresh.
TEST(InjectedFaults, EveryAllocationOfARunFailsCleanlyInTurn) {
    TiltSeries ts(16, 6, 5);
    const std::vector<std::vector<std::string>> runs = {
        {"skarbel", "--offset=0,1.5", "--sirt-like=5", "-s2", ts.tlt, ts.stack, ts.out},
        {"skarbel", "-S", "-i2", "--batch=2", ts.tlt, ts.stack, ts.out}};
    for (const auto& args : runs)
        for (const GpuFaultSite site : {GPU_FAULT_HOST_ALLOC, GPU_FAULT_ALLOC, GPU_FAULT_FFTW}) {
            const Captured counted = capture_exit([&] {
                count_faults(site, -1);
                main_with_args(args);
                printf("\nallocations %d\n", count_seen.load());
            });
            ASSERT_EQ(counted.status, 0) << counted.err;
            const int n = std::stoi(counted.out.substr(counted.out.rfind("allocations ") + 12));
            EXPECT_TRUE(n > 0 || site == GPU_FAULT_FFTW) << args[1] << ", site " << site;  // SIRT has no FFTs
            std::filesystem::remove(ts.out);
            for (int k = 0; k < n; ++k) {
                const Captured c = capture_exit([&] {
                    count_faults(site, k);
                    main_with_args(args);
                });
                EXPECT_EQ(c.status, 255) << args[1] << ", site " << site << ", allocation " << k;
                EXPECT_THAT(c.err, testing::MatchesRegex(kMemoryMessages)) << args[1] << ", site " << site;
                EXPECT_EQ(names_in(ts.dir.path), (std::set<std::string>{"t.tlt", "s.mrc"}));
            }
        }
}

// The same failing runs one after another in this process, as a Python session
// calling the module would (the module is not built with the sanitizers): in
// the sanitizer build, 100 failed calls leave no more heap in use than the
// first four, and nothing for the leak check at exit.
TEST(InjectedFaults, AHundredFailedRunsInOneProcessLeakNothing) {
    TiltSeries ts(16, 6, 5);
    const std::vector<std::string> wbp = {"skarbel", "--offset=0,1.5", "--sirt-like=5", "-s2", ts.tlt, ts.stack, ts.out},
                                   sirt = {"skarbel", "-S", "-i2", ts.tlt, ts.stack, ts.out};
    // Late failures, when most of each set-up is held: WBP's last FFTW plan of
    // its set-up and its last device buffer, SIRT's last device buffer and a
    // host array of its transposed matrix.
    const std::tuple<const std::vector<std::string>&, GpuFaultSite, int> failing[] = {
        {wbp, GPU_FAULT_FFTW, 7}, {wbp, GPU_FAULT_ALLOC, 5}, {sirt, GPU_FAULT_ALLOC, 12}, {sirt, GPU_FAULT_HOST_ALLOC, 1}};
    size_t after_first = 0;
    int failures = 0;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    for (int call = 0; call < 100; ++call) {
        const auto& [args, site, fail_at] = failing[call % 4];
        count_faults(site, fail_at);
        try {
            main_with_args(args);
        } catch (const RunError& e) {
            failures += e.status == 255;
        }
        gpu_fault_hook = nullptr;
        if (call == 3) after_first = heap_bytes_in_use();
    }
    const size_t after_all = heap_bytes_in_use();
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(failures, 100);
    EXPECT_LE(after_all, after_first);
    printf("heap bytes in use after 4 failed calls %zu, after 100 %zu\n", after_first, after_all);
    EXPECT_EQ(names_in(ts.dir.path), (std::set<std::string>{"t.tlt", "s.mrc"}));
}

// A worker that cannot bind to the plan's device fails the run like any other
// error: the message, status 255, and no output or temporary file left.
TEST(InjectedFaults, AWorkerThatCannotBindEndsTheRunCleanly) {
    TiltSeries ts(16, 6, 5);
    static std::thread::id main_thread;
    const Captured c = capture_exit([&] {
        main_thread = std::this_thread::get_id();
        gpu_fault_hook = [](GpuFaultSite s) { return s == GPU_FAULT_BIND && std::this_thread::get_id() != main_thread; };
        std::vector<std::string> args = {"skarbel", "--batch=2", ts.tlt, ts.stack, ts.out};
        std::vector<char*> argv(args.size());
        std::transform(args.begin(), args.end(), argv.begin(), [](std::string& s) { return s.data(); });
        skarbel_main((int)argv.size(), argv.data());
    });
    EXPECT_EQ(c.status, 255);
    EXPECT_THAT(c.err, testing::MatchesRegex("Using device 0: .*cudaSafeCall\\(\\) Runtime API error in file "
                                             "<gpu_layer.cpp>, line [0-9]+ : injected fault.\n"));
    EXPECT_EQ(names_in(ts.dir.path), (std::set<std::string>{"t.tlt", "s.mrc"}));
}

// Plans take their device and its memory as values: two threads build at once
// on devices 1 and 2 while device 5 is selected, each on its own and checked
// against its own memory (device 2 has too little).
TEST(PlanDevice, EachThreadBuildsOnItsOwnDevice) {
    gpu_use_backend(GPU_BACKEND_HOST, 5);
    const std::vector<a> tilts = tilt_records({-40.0f, -10.0f, 20.0f, 50.0f});
    std::string got[2];
    std::thread threads[2];
    for (int k = 0; k < 2; ++k)
        threads[k] = std::thread([&, k] {
            try {
                MethodPlan plan = plan_method(method_options(false, 2, 0), make_geometry(32, 4, 32, 12), tilts.data(),
                                              {GPU_BACKEND_HOST, k + 1, k == 0 ? 1e6f : 0.01f});
                got[k] = std::to_string(plan.device.index) + " " + std::to_string(gpu_bound_device().index);
            } catch (const RunError& e) {
                got[k] = e.what();
            }
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(got[0], "1 1");
    EXPECT_THAT(got[1], testing::StartsWith("GPU: 0.01 Mb. Not enough memory for run wbp: "));
    gpu_use_backend(GPU_BACKEND_HOST);
}
