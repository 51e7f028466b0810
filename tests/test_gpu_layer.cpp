// The layer on every backend: launch grids, bounds, copies, zero fill, the atomic
// add under contention and the host fast path, each checked against plain host
// arithmetic.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "gpu/gpu_layer.h"
#include "tests/gpu/layer_kernels.h"
#include "support/backends.h"
#include "support/capture.h"

namespace {

// A device buffer of n elements, freed with the test.
template <class T>
struct DeviceArray {
    T* p = nullptr;
    size_t n = 0;
    explicit DeviceArray(size_t count) : p(static_cast<T*>(gpu_alloc(count * sizeof(T)))), n(count) {}
    explicit DeviceArray(const std::vector<T>& v) : DeviceArray(v.size()) { upload(v); }
    ~DeviceArray() { gpu_free(p); }
    DeviceArray(const DeviceArray&) = delete;
    DeviceArray& operator=(const DeviceArray&) = delete;
    void upload(const std::vector<T>& v) { gpu_copy_to_device(p, v.data(), v.size() * sizeof(T)); }
    std::vector<T> download() const {
        std::vector<T> v(n);
        gpu_copy_to_host(v.data(), p, n * sizeof(T));
        return v;
    }
};

float download_one(const DeviceArray<float>& a) { return a.download()[0]; }

constexpr float kSentinel = -7.0f;

}  // namespace

// ---- grid arithmetic (the same on every backend) ----

struct GridCase {
    int n;
    int blocks_256;
    int blocks_16;
};

TEST(GridArithmetic, BlockCountsInSinglePrecision) {
    const GridCase cases[] = {
        {0, 0, 0},         {1, 1, 1},           {15, 1, 1},      {16, 1, 1},     {17, 1, 2},
        {255, 1, 16},      {256, 1, 16},        {257, 2, 17},    {512, 2, 32},   {513, 3, 33},
        {65536, 256, 4096}, {1000000, 3907, 62500},
        // (float)16777217 rounds to 2^24: the grid is one item short, as on the device.
        {16777217, 65536, 1048576},
    };
    for (const GridCase& c : cases) {
        EXPECT_EQ(grid_blocks_256(c.n), c.blocks_256) << "n = " << c.n;
        EXPECT_EQ(grid_blocks_16(c.n), c.blocks_16) << "n = " << c.n;
    }
}

TEST(GridArithmetic, ShapesAndWhatTheRuntimeRefuses) {
    const LaunchShape s1 = launch_shape_1d(257);
    EXPECT_EQ(s1.grid_x, 2);
    EXPECT_EQ(s1.grid_y, 1);
    EXPECT_EQ(s1.block_x, 256);
    EXPECT_EQ(s1.block_y, 1);
    const LaunchShape s2 = launch_shape_2d(17, 16);
    EXPECT_EQ(s2.grid_x, 2);
    EXPECT_EQ(s2.grid_y, 1);
    EXPECT_EQ(s2.block_x, 16);
    EXPECT_EQ(s2.block_y, 16);

    EXPECT_TRUE(launch_shape_accepted(launch_shape_1d(1)));
    EXPECT_FALSE(launch_shape_accepted(launch_shape_1d(0)));
    EXPECT_FALSE(launch_shape_accepted(launch_shape_1d(-5)));
    EXPECT_FALSE(launch_shape_accepted(launch_shape_2d(0, 7)));
    EXPECT_FALSE(launch_shape_accepted(launch_shape_2d(7, 0)));
    EXPECT_TRUE(launch_shape_accepted(launch_shape_2d(16, 65535 * 16)));   // 65535 blocks along y
    EXPECT_FALSE(launch_shape_accepted(launch_shape_2d(16, 65535 * 16 + 1)));
    EXPECT_TRUE(launch_shape_accepted(launch_shape_1d(2147483647)));
    EXPECT_FALSE(launch_shape_accepted(LaunchShape{1, 1, 2048, 1}));  // over 1024 threads per block
    EXPECT_FALSE(launch_shape_accepted(LaunchShape{1, 1, 64, 32}));
}

// ---- errors (host device) ----
// These fork before any test touches CUDA: a child of a process that has
// initialised the CUDA runtime cannot use it.

TEST(LayerErrors, AllocationBeyondMemoryReportsOutOfMemory) {
    gpu_use_backend(GPU_BACKEND_HOST);
    const size_t too_much = (size_t)sysconf(_SC_PHYS_PAGES) * (size_t)sysconf(_SC_PAGE_SIZE) + 4096;
    const Captured c = capture_exit([&] { (void)gpu_alloc_at(too_much, "/some/dir/wg.cpp", 321); });
    EXPECT_EQ(c.status, 255);
    EXPECT_EQ(c.err, "cudaSafeCall() Runtime API error in file <wg.cpp>, line 321 : out of memory.\n");
    EXPECT_EQ(c.out, "");

    // Through the macro: this file's own name and line.
    const int line = __LINE__ + 1;
    const Captured m = capture_exit([&] { (void)gpu_alloc(too_much); });
    EXPECT_EQ(m.status, 255);
    EXPECT_EQ(m.err, "cudaSafeCall() Runtime API error in file <test_gpu_layer.cpp>, line " + std::to_string(line) +
                         " : out of memory.\n");
}

TEST(LayerErrors, MemoryCheckRefusesOnlyWhatDoesNotFit) {
    const float saved = gpu_memory_mb;
    gpu_memory_mb = 4096.0f;
    const Captured fits = capture_exit([] { gpu_check_memory(4096.0f, "wbp"); });
    EXPECT_EQ(fits.status, 0);
    EXPECT_EQ(fits.err, "");
    const Captured over = capture_exit([] { gpu_check_memory(4096.5f, "wbp"); });
    EXPECT_EQ(over.status, 255);
    EXPECT_EQ(over.err, "GPU: 4096.00 Mb. Not enough memory for run wbp: 4096.50 Mb\n");
    const Captured sirt = capture_exit([] { gpu_check_memory(123456.789f, "sirt"); });
    EXPECT_EQ(sirt.err, "GPU: 4096.00 Mb. Not enough memory for run sirt: 123456.79 Mb\n");
    gpu_memory_mb = saved;
}

// ---- kernels on every backend ----

class LayerKernels : public testing::TestWithParam<GpuBackend> {
  protected:
    void SetUp() override { USE_BACKEND_OR_SKIP(GetParam()); }
    void TearDown() override { gpu_use_backend(GPU_BACKEND_HOST); }
};

// Every item of the grid runs once; items past n write nothing.
TEST_P(LayerKernels, OneDimensionalGridCoversExactlyTheBlocks) {
    struct Case {
        int n, items;
    };
    for (const Case c : {Case{1, 256}, Case{255, 256}, Case{256, 256}, Case{257, 512}, Case{1000, 1024},
                         Case{65539, 65792}}) {
        const size_t room = (size_t)c.items + 64;
        DeviceArray<float> out(std::vector<float>(room, kSentinel));
        DeviceArray<float> items(std::vector<float>{0.0f});
        gpu_launch_1d(c.n, FillCount1D{out.p, items.p, c.n});
        gpu_synchronize();
        EXPECT_EQ(download_one(items), (float)c.items) << "n = " << c.n;
        const std::vector<float> got = out.download();
        size_t wrong = 0;
        for (size_t r = 0; r < room; ++r) {
            const float want = (int)r < c.n ? 3.0f * (float)r + 1.0f : kSentinel;
            wrong += got[r] != want;
        }
        EXPECT_EQ(wrong, 0u) << "n = " << c.n;
    }
}

TEST_P(LayerKernels, TwoDimensionalGridCoversExactlyTheBlocks) {
    struct Case {
        int nx, ny, blocks;
    };
    for (const Case c : {Case{16, 16, 1}, Case{17, 16, 2}, Case{16, 17, 2}, Case{17, 17, 4}, Case{1, 1, 1},
                         Case{33, 5, 3}, Case{100, 40, 7 * 3}}) {
        const size_t size = (size_t)c.nx * c.ny, room = size + 300;
        DeviceArray<float> out(std::vector<float>(room, kSentinel));
        DeviceArray<float> items(std::vector<float>{0.0f});
        gpu_launch_2d(c.nx, c.ny, FillCount2D{out.p, items.p, c.nx, c.ny});
        EXPECT_EQ(download_one(items), (float)(c.blocks * 256)) << c.nx << " x " << c.ny;
        const std::vector<float> got = out.download();
        size_t wrong = 0;
        for (size_t e = 0; e < room; ++e) {
            const float want = e < size ? (float)(e % c.nx) + 1000.0f * (float)(e / c.nx) : kSentinel;
            wrong += got[e] != want;
        }
        EXPECT_EQ(wrong, 0u) << c.nx << " x " << c.ny;
    }
}

TEST_P(LayerKernels, EmptyRangesLaunchNothing) {
    DeviceArray<float> out(std::vector<float>(512, kSentinel));
    DeviceArray<float> items(std::vector<float>{0.0f});
    gpu_launch_1d(0, FillCount1D{out.p, items.p, 0});
    gpu_launch_1d(-3, FillCount1D{out.p, items.p, 10});
    gpu_launch_2d(0, 5, FillCount2D{out.p, items.p, 0, 5});
    gpu_launch_2d(5, 0, FillCount2D{out.p, items.p, 5, 0});
    gpu_synchronize();
    EXPECT_EQ(download_one(items), 0.0f);
    EXPECT_EQ(out.download(), std::vector<float>(512, kSentinel));
}

TEST_P(LayerKernels, CopiesBothWaysThroughAKernel) {
    const int n = 5000;
    std::vector<float> in(n);
    for (int i = 0; i < n; ++i) in[i] = (float)(i % 97) - 40.25f;
    DeviceArray<float> d_in(in);
    DeviceArray<float> d_out(std::vector<float>(n, kSentinel));
    gpu_launch_1d(n, ScaleCopy1D{d_out.p, d_in.p, n});
    const std::vector<float> got = d_out.download();
    for (int i = 0; i < n; ++i) ASSERT_EQ(got[i], (float)(2.0 * (double)in[i] + 1.0)) << "i = " << i;
    EXPECT_EQ(d_in.download(), in);  // the read-only input is untouched
}

TEST_P(LayerKernels, CopiesRoundTripBytesExactly) {
    // Sizes below and above the host backend's parallel-copy threshold, not multiples of 4.
    for (const size_t bytes : {size_t(1), size_t(13), size_t(4096), (size_t(9) << 20) + 7}) {
        std::vector<unsigned char> in(bytes);
        for (size_t i = 0; i < bytes; ++i) in[i] = (unsigned char)((i * 2654435761u) >> 13);
        DeviceArray<unsigned char> d(in);
        EXPECT_EQ(d.download(), in) << bytes << " bytes";
    }
}

TEST_P(LayerKernels, ZeroFillClearsExactlyTheBytesGiven) {
    for (const size_t n : {size_t(1), size_t(1000), (size_t(3) << 20) + 5}) {
        const std::vector<float> ones(n, 1.5f);
        DeviceArray<float> d(ones);
        const size_t part = n / 2 + 1;
        gpu_zero(d.p, part * sizeof(float));
        std::vector<float> want = ones;
        std::fill(want.begin(), want.begin() + (long)part, 0.0f);
        EXPECT_EQ(d.download(), want) << n << " floats, first " << part;
        gpu_zero(d.p, n * sizeof(float));
        EXPECT_EQ(d.download(), std::vector<float>(n, 0.0f)) << n << " floats";
    }
}

TEST_P(LayerKernels, AtomicAddUnderContentionGivesExactSums) {
    // Integer-valued terms with sums below 2^24 are exact in any order.
    const int n = 1 << 17;
    std::vector<float> values(n);
    for (int r = 0; r < n; ++r) values[r] = (float)(r % 13 + 1);
    DeviceArray<float> d_values(values);
    for (const int nbins : {1, 3, 64}) {
        std::vector<float> start(nbins);
        for (int b = 0; b < nbins; ++b) start[b] = (float)(100 * b);
        DeviceArray<float> bins(start);
        gpu_launch_1d(n, AtomicBins1D{bins.p, d_values.p, n, nbins});
        std::vector<long long> want(nbins);
        for (int b = 0; b < nbins; ++b) want[b] = 100LL * b;
        for (int r = 0; r < n; ++r) want[r % nbins] += r % 13 + 1;
        const std::vector<float> got = bins.download();
        for (int b = 0; b < nbins; ++b) EXPECT_EQ(got[b], (float)want[b]) << nbins << " bins, bin " << b;
    }
}

TEST_P(LayerKernels, AtomicAddOfOneAndTwoInEitherOrder) {
    for (const std::vector<float>& order : {std::vector<float>{1.0f, 2.0f}, std::vector<float>{2.0f, 1.0f}}) {
        DeviceArray<float> values(order);
        DeviceArray<float> bin(std::vector<float>{0.25f});
        gpu_launch_1d(2, AtomicBins1D{bin.p, values.p, 2, 1});
        EXPECT_EQ(download_one(bin), 3.25f) << order[0] << " then " << order[1];
    }
}

TEST_P(LayerKernels, HostFormAndLiteralItemsAgree) {
    const int n = 777, nx = 37, ny = 21;
    std::vector<float> in(n), image(nx * ny);
    for (int i = 0; i < n; ++i) in[i] = (float)(i % 50) - 17.0f;
    for (int i = 0; i < nx * ny; ++i) image[i] = (float)i;
    DeviceArray<float> d_in(in), d_out(std::vector<float>(n, kSentinel));
    DeviceArray<float> d_image(image), d_transposed(std::vector<float>(nx * ny, kSentinel));
    int host_runs = 0;
    gpu_launch_1d(n, SquareWithHostRun{d_out.p, d_in.p, n, &host_runs});
    gpu_launch_2d(nx, ny, TransposeWithHostRun{d_transposed.p, d_image.p, nx, ny, &host_runs});
    // The host backend takes the fast forms; CUDA runs the items on the device.
    EXPECT_EQ(host_runs, GetParam() == GPU_BACKEND_HOST ? 2 : 0);

    std::vector<float> want(n), want_t(nx * ny);
    for (int i = 0; i < n; ++i) want[i] = (float)((double)in[i] * in[i]);
    for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x) want_t[x * ny + y] = image[y * nx + x];
    EXPECT_EQ(d_out.download(), want);
    EXPECT_EQ(d_transposed.download(), want_t);

    // The literal per-item forms on host memory give the same results.
    std::vector<float> literal(n, kSentinel), literal_t(nx * ny, kSentinel);
    host_items_1d(launch_shape_1d(n), SquareWithHostRun{literal.data(), in.data(), n, &host_runs});
    host_items_2d(launch_shape_2d(nx, ny), TransposeWithHostRun{literal_t.data(), image.data(), nx, ny, &host_runs});
    EXPECT_EQ(literal, want);
    EXPECT_EQ(literal_t, want_t);
    EXPECT_EQ(host_runs, GetParam() == GPU_BACKEND_HOST ? 2 : 0);
}

TEST_P(LayerKernels, BuffersAreAlignedAndFreeOfNullIsHarmless) {
    for (const size_t bytes : {size_t(1), size_t(3), size_t(4096), size_t(100003)}) {
        void* p = gpu_alloc(bytes);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ((uintptr_t)p % 64, 0u) << bytes << " bytes";
        gpu_free(p);
    }
    gpu_free(nullptr);
}

INSTANTIATE_TEST_SUITE_P(Backends, LayerKernels, testing::ValuesIn(test_backends()), backend_param_name);
