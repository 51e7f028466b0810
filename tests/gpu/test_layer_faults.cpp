// Device faults injected through the layer's hook, and plans on two devices.
#include "support/common.h"

#include <gmock/gmock.h>

#include <thread>

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
