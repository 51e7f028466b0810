// Device faults injected through the layer's hook, and plans on two devices.
#include "support/common.h"

#include <gmock/gmock.h>

#include <thread>

// Only the sanitizer's count of heap bytes in use is exact.
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

namespace {

// Counts the operations at one site and fails number fail_at (from 0; -1: none).
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

// A staging buffer whose grow fails is left empty. A failed allocation or copy of
// the transposed upload (CUDA only) leaves what reached the device to the plan.
TEST(InjectedFaults, FailedAllocationsAndCopiesLeaveNothingBehind) {
    gpu_use_backend(GPU_BACKEND_HOST);
    BatchBuffer b;
    ASSERT_NE(batch_buffer(b, 100), nullptr);
    count_faults(GPU_FAULT_ALLOC, 0);
    EXPECT_THROW(batch_buffer(b, 1000), RunError);
    gpu_fault_hook = nullptr;
    EXPECT_EQ(b.floats, 0u);
    EXPECT_NE(batch_buffer(b, 1000), nullptr);  // allocated afresh
    const std::vector<a> tilts = tilt_records({-30.0f, 0.0f, 30.0f});
    for (const GpuFaultSite site : {GPU_FAULT_ALLOC, GPU_FAULT_COPY_TO_DEVICE})
        for (int after = 0; after < 4; ++after) {
            MethodBuffers d;
            SirtSizes sizes;
            SirtTransposeHost t = sirt_transpose_on_host(tilts.data(), make_geometry(24, 3, 24, 9));
            count_faults(site, after);
            EXPECT_THROW(sirt_transpose_upload(&t, d, sizes), RunError) << site << " " << after;
            gpu_fault_hook = nullptr;
            EXPECT_EQ(d.d_matrix_t != nullptr, site == GPU_FAULT_COPY_TO_DEVICE || after > 0);
        }
}

// Each allocation of a WBP and a SIRT run fails in turn, in a fork of its own:
// the memory message, status 255, no output or temporary file.
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

// Failing runs in one process, as in a Python session: in the sanitizer build
// 100 failed calls hold no more heap than the first four.
TEST(InjectedFaults, AHundredFailedRunsInOneProcessLeakNothing) {
    TiltSeries ts(16, 6, 5);
    const std::vector<std::string> wbp = {"skarbel", "--offset=0,1.5", "--sirt-like=5", "-s2", ts.tlt, ts.stack, ts.out},
                                   sirt = {"skarbel", "-S", "-i2", ts.tlt, ts.stack, ts.out};
    // Late failures, when most of each set-up is held.
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

// A worker that cannot bind to the plan's device fails the run cleanly.
TEST(InjectedFaults, AWorkerThatCannotBindEndsTheRunCleanly) {
    TiltSeries ts(16, 6, 5);
    static std::thread::id main_thread;
    const Captured c = capture_exit([&] {
        main_thread = std::this_thread::get_id();
        gpu_fault_hook = [](GpuFaultSite s) { return s == GPU_FAULT_BIND && std::this_thread::get_id() != main_thread; };
        main_with_args({"skarbel", "--batch=2", ts.tlt, ts.stack, ts.out});
    });
    EXPECT_EQ(c.status, 255);
    EXPECT_THAT(c.err, testing::MatchesRegex("Using device 0: .*cudaSafeCall\\(\\) Runtime API error in file "
                                             "<gpu_layer.cpp>, line [0-9]+ : injected fault.\n"));
    EXPECT_EQ(names_in(ts.dir.path), (std::set<std::string>{"t.tlt", "s.mrc"}));
}

// Two threads build plans at once on devices 1 and 2 while 5 is selected, each
// checked against its own memory (device 2 has too little).
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
