// The layer's failure paths: launches past the runtime's grid limits, item
// counts past 32-bit indices, and device faults injected into buffers, the
// SIRT set-up, the slice pipeline's worker and plans on several devices.
#include "support/common.h"

#include <gmock/gmock.h>

#include <atomic>
#include <climits>
#include <thread>

#include "driver/run.h"
#include "gpu/batch_size.h"
#include "gpu/batch_staging.h"
#include "io/fail.h"
#include "method/method.h"
#include "sirt/sirt.h"
#include "support/backends.h"
#include "support/tilts.h"
#include "tests/gpu/layer_kernels.h"

namespace {

// The fault hook fails the call number `after` (from 0) at `site`, and no other.
std::atomic<int> fault_site{-1}, fault_countdown{0};
bool counted_fault(GpuFaultSite site) { return site == fault_site.load() && fault_countdown.fetch_sub(1) == 0; }

struct InjectedFault {
    InjectedFault(GpuFaultSite site, int after) {
        fault_site = site;
        fault_countdown = after;
        gpu_fault_hook = counted_fault;
    }
    ~InjectedFault() {
        gpu_fault_hook = nullptr;
        fault_site = -1;
    }
};

class LayerLimits : public testing::TestWithParam<GpuBackend> {
protected:
    void SetUp() override { USE_BACKEND_OR_SKIP(GetParam()); }
    void TearDown() override { gpu_use_backend(GPU_BACKEND_HOST); }
};

}  // namespace

// A y axis of more blocks than the runtime takes in one launch (a slice
// 1 048 600 pixels wide: 65 538 blocks) runs every item, once.
TEST_P(LayerLimits, ALongYAxisRunsInFull) {
    const int nx = 3, ny = 1048600;
    const size_t n = (size_t)nx * ny;
    float* d = to_device(std::vector<float>(n, -1.0f));
    gpu_launch_2d(nx, ny, MarkItems2D{d, nx, ny});
    const std::vector<float> got = from_device(d, n);
    gpu_free(d);
    size_t wrong = 0;
    for (size_t e = 0; e < n; ++e) wrong += got[e] != (float)(e % nx + 1 + 4 * (e / nx));
    EXPECT_EQ(wrong, 0u);
}

INSTANTIATE_TEST_SUITE_P(Backends, LayerLimits, testing::ValuesIn(test_backends()), backend_param_name);

TEST(LaunchLimits, PartsAlongYAndItemCounts) {
    const int parts[][2] = {{0, 0}, {1, 1}, {65535, 1}, {65536, 2}, {131070, 2}, {131071, 3}};
    for (const auto& c : parts) EXPECT_EQ(launch_parts_y(LaunchShape{1, c[0], 16, 16}), c[1]) << c[0];
    EXPECT_TRUE(launch_shape_accepted(launch_shape_2d(16, 1048600)));
    // More items than 32-bit indices hold are refused before anything runs.
    for (const long long n : {(long long)INT_MAX + 1, 1LL << 40}) {
        const Captured c = capture_exit([&] {
            float items = 0;
            gpu_launch_1d(n, FillCount1D{nullptr, &items, 0});
            printf("ran %g", (double)items);
        });
        EXPECT_EQ(c.status, 255);
        EXPECT_EQ(c.err, "GPU: a launch of " + std::to_string(n) + " items is beyond 32-bit item indices\n");
        EXPECT_EQ(c.out, "");
        const Captured c2 = capture_exit([&] { gpu_launch_2d(1, n, MarkItems2D{nullptr, 1, 1}); });
        EXPECT_EQ(c2.err, c.err);
    }
}

// A grow that fails leaves the buffer empty, so that the next use allocates
// instead of handing out a null pointer as a buffer of the old size.
TEST(InjectedFaults, AFailedGrowLeavesTheStagingBufferEmpty) {
    gpu_use_backend(GPU_BACKEND_HOST);
    BatchBuffer b;
    ASSERT_NE(batch_buffer(b, 100), nullptr);
    {
        InjectedFault fault(GPU_FAULT_ALLOC, 0);
        EXPECT_THROW(batch_buffer(b, 1000), RunError);
    }
    EXPECT_EQ(b.p, nullptr);
    EXPECT_EQ(b.floats, 0u);
    EXPECT_NE(batch_buffer(b, 1000), nullptr);
    EXPECT_EQ(b.floats, 1000u);
    batch_buffer_free(b);
}

// Every allocation and copy of the transposed matrix's upload may fail: the
// host images are released all the same (the leak check of the sanitizer
// build sees it), and what reached the device is in the buffers for the plan
// to free.
TEST(InjectedFaults, TheTransposedMatrixUploadReleasesWhatItHolds) {
    gpu_use_backend(GPU_BACKEND_HOST);
    const std::vector<a> tilts = tilt_records({-30.0f, 0.0f, 30.0f});
    const Geometry g = make_geometry(24, 3, 24, 9);
    for (const GpuFaultSite site : {GPU_FAULT_ALLOC, GPU_FAULT_COPY_TO_DEVICE}) {
        for (int after = 0; after < 4; ++after) {
            MethodBuffers d;
            SirtSizes sizes;
            SirtTransposeHost t = sirt_transpose_on_host(tilts.data(), g);
            ASSERT_NE(t.weights, nullptr);
            {
                InjectedFault fault(site, after);
                try {
                    sirt_transpose_upload(&t, d, sizes);
                    ADD_FAILURE() << "no fault at " << site << " " << after;
                } catch (const RunError& e) {
                    EXPECT_NE(std::string(e.what()).find(" : injected fault.\n"), std::string::npos) << e.what();
                }
            }
            EXPECT_EQ(d.d_matrix_t != nullptr, site == GPU_FAULT_COPY_TO_DEVICE || after > 0);
            method_buffers_free(d);
        }
    }
    // A whole SIRT set-up that fails on the way ends with the message and frees its part.
    for (const auto& [site, after] : {std::pair{GPU_FAULT_ALLOC, 0}, {GPU_FAULT_ALLOC, 2}, {GPU_FAULT_COPY_TO_DEVICE, 0}}) {
        InjectedFault fault(site, after);
        EXPECT_THROW(plan_method(method_options(true, 0, 1), g, tilts.data(), GpuDevice{}), RunError) << after;
    }
}

// A worker that cannot bind itself to the plan's device fails the run like
// any other error: the message, status 255, and no output or temporary file left.
TEST(InjectedFaults, AWorkerThatCannotBindEndsTheRunCleanly) {
    TiltSeries ts(16, 6, 5);
    static std::thread::id main_thread;
    const Captured c = capture_exit([&] {
        main_thread = std::this_thread::get_id();
        gpu_fault_hook = [](GpuFaultSite site) {
            return site == GPU_FAULT_BIND && std::this_thread::get_id() != main_thread;
        };
        std::vector<std::string> args = {"skarbel", "--batch=2", ts.tlt, ts.stack, ts.out};
        std::vector<char*> argv;
        for (std::string& s : args) argv.push_back(s.data());
        skarbel_main((int)argv.size(), argv.data());
    });
    EXPECT_EQ(c.status, 255);
    EXPECT_THAT(c.err, testing::EndsWith(" : injected fault.\n"));
    EXPECT_THAT(c.err, testing::HasSubstr("cudaSafeCall() Runtime API error in file <gpu_layer.cpp>, line "));
    EXPECT_EQ(names_in(ts.dir.path), (std::set<std::string>{"t.tlt", "s.mrc"}));
}

// Plans take their device and its memory as values: two threads build at once
// on devices 1 and 2 while device 5 is the one selected, and each plan is
// checked against its own device's memory.
TEST(PlanDevice, EachThreadBuildsOnItsOwnDevice) {
    gpu_use_backend(GPU_BACKEND_HOST, 5);
    const std::vector<a> tilts = tilt_records({-40.0f, -10.0f, 20.0f, 50.0f});
    const Geometry g = make_geometry(32, 4, 32, 12);
    for (int round = 0; round < 4; ++round) {
        int planned[2] = {-1, -1}, bound[2] = {-1, -1};
        std::string refused[2];
        std::thread threads[2];
        for (int k = 0; k < 2; ++k) {
            threads[k] = std::thread([&, k] {
                // Device 2 has too little memory for the matrix, device 1 plenty.
                const GpuDevice device{GPU_BACKEND_HOST, k + 1, k == 0 ? 1.0e6f : 0.01f, {}};
                try {
                    MethodPlan plan = plan_method(method_options(false, 2, 0), g, tilts.data(), device);
                    planned[k] = plan.device.index;
                    bound[k] = gpu_thread_device();
                } catch (const RunError& e) {
                    refused[k] = e.what();
                }
            });
        }
        for (std::thread& t : threads) t.join();
        EXPECT_EQ(planned[0], 1);
        EXPECT_EQ(bound[0], 1);
        EXPECT_EQ(refused[0], "");
        EXPECT_EQ(planned[1], -1);
        EXPECT_THAT(refused[1], testing::StartsWith("GPU: 0.01 Mb. Not enough memory for run wbp: "));
    }
    EXPECT_EQ(gpu_device_index(), 5);
    // The batch choice counts the processes sharing the plan's device.
    const BatchRoom room = batch_room_of(GpuDevice{GPU_BACKEND_HOST, 0, 1.0e6f, {3, 4}});
    EXPECT_EQ(room.device_processes, 3);
    EXPECT_EQ(room.host_processes, 4);
    gpu_use_backend(GPU_BACKEND_HOST);
}
