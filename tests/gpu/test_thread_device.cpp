// Which device each thread that uses the layer asked for: the thread that
// selects it, a thread that binds itself, and the slice pipeline's worker,
// which runs every product on buffers the selecting thread made.
#include "support/common.h"

#include <thread>

#include "driver/slice_pipeline.h"
#include "gpu/gpu_layer.h"
#include "support/backends.h"
#include "tests/gpu/layer_kernels.h"

namespace {

// The last device: on a machine with several GPUs the one a new thread does not
// start on. The host device records whatever index it is given, so the host
// instance checks with an index other than 0 too.
int last_device(GpuBackend backend) { return backend == GPU_BACKEND_CUDA ? gpu_cuda_device_count() - 1 : 2; }

class ThreadDevice : public testing::TestWithParam<GpuBackend> {
  protected:
    void SetUp() override {
        device_ = last_device(GetParam());
        if (!gpu_use_backend(GetParam(), device_)) GTEST_SKIP() << "no CUDA device on this machine";
    }
    void TearDown() override { gpu_use_backend(GPU_BACKEND_HOST); }
    int device_ = 0;
};

}  // namespace

TEST_P(ThreadDevice, EveryThreadAsksForTheSelectedDevice) {
    EXPECT_EQ(gpu_device_index(), device_);
    EXPECT_EQ(gpu_thread_device(), device_);
    int before = 0, after = 0;
    std::thread t([&] {
        before = gpu_thread_device();
        gpu_bind_thread();
        after = gpu_thread_device();
    });
    t.join();
    EXPECT_EQ(before, -1);
    EXPECT_EQ(after, device_);

    // 7 slices in batches of 3: each product scales its sinogram on the device
    // through a table the calling thread put there, as the methods' matrices are.
    const int n = 1000, slices = 7;
    std::vector<float> ones(n, 1.0f);
    float* table = to_device(ones);
    std::vector<int> asked;
    std::vector<std::thread::id> workers;
    std::vector<float> written;
    SliceSteps s;
    s.read = [&](int first, int count, float* sinos) {
        for (int i = 0; i < count * n; ++i) sinos[i] = (float)(first * n + i);
    };
    s.reconstruct = [&](int count, float* sinos, float* out) {
        asked.push_back(gpu_thread_device());
        workers.push_back(std::this_thread::get_id());
        float* d_in = to_device(std::vector<float>(sinos, sinos + count * n));
        float* d_out = static_cast<float*>(gpu_alloc((size_t)count * n * sizeof(float)));
        gpu_launch_1d(count * n, ScaleCopy1D{d_out, d_in, count * n});
        gpu_launch_1d(n, AtomicBins1D{d_out, table, n, n});  // + 1 in the first slice of the batch
        gpu_copy_to_host(out, d_out, (size_t)count * n * sizeof(float));
        gpu_free(d_in);
        gpu_free(d_out);
    };
    s.write = [&](int count, const float* out) { written.insert(written.end(), out, out + count * n); };
    run_slice_pipeline(slices, 3, n, n, s);
    gpu_free(table);

    EXPECT_EQ(asked, std::vector<int>(3, device_));
    ASSERT_EQ(workers.size(), 3u);
    EXPECT_NE(workers[0], std::this_thread::get_id());
    ASSERT_EQ(written.size(), (size_t)slices * n);
    size_t wrong = 0;
    for (int y = 0; y < slices; ++y)
        for (int i = 0; i < n; ++i) {
            const float v = (float)(y * n + i);
            wrong += written[(size_t)y * n + i] != 2.0f * v + 1.0f + (y % 3 == 0 ? 1.0f : 0.0f);
        }
    EXPECT_EQ(wrong, 0u);
}

INSTANTIATE_TEST_SUITE_P(Backends, ThreadDevice, testing::ValuesIn(test_backends()), backend_param_name);

// Selecting a device binds the thread that selects it, whatever it was bound to.
TEST(ThreadDeviceSelection, TheSelectingThreadIsBound) {
    gpu_use_backend(GPU_BACKEND_HOST, 5);
    int bound = -2, selected = -2;
    std::thread t([&] {
        gpu_select_device(-1, false);
        bound = gpu_thread_device();
        selected = gpu_device_index();
    });
    t.join();
    EXPECT_EQ(bound, selected);
    EXPECT_EQ(gpu_thread_device(), 5);  // this thread asked for nothing since
    EXPECT_GE(selected, 0);
    if (gpu_selected_device().backend == GPU_BACKEND_HOST) {
        EXPECT_EQ(selected, 0);
    }
    gpu_use_backend(GPU_BACKEND_HOST);
}
