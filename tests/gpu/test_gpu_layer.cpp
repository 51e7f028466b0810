// The layer on every backend: launch grids, bounds, copies, zero fill, the atomic
// add under contention and the host fast path, against plain host arithmetic.
#include "support/common.h"
#include <unistd.h>

#include <climits>

#include "gpu/gpu_layer.h"
#include "support/backends.h"
#include "tests/gpu/layer_kernels.h"

namespace {

constexpr float kSentinel = -7.0f;

// Runs a kernel over a device copy of `init` and returns the copy and the item count.
template <class Launch>
std::vector<float> on_device(const std::vector<float>& init, float* items_out, Launch launch) {
    float* out = to_device(init);
    float* items = to_device(std::vector<float>{0.0f});
    launch(out, items);
    gpu_synchronize();
    std::vector<float> got = from_device(out, init.size());
    *items_out = from_device(items, 1)[0];
    gpu_free(out);
    gpu_free(items);
    return got;
}

}  // namespace

TEST(GridArithmetic, BlockCountsAndRefusedLaunches) {
    // Blocks cover every item with less than one to spare, also past 2^24 items (single precision drops one).
    for (long long n : {1, 16, 17, 257, 1000000, 16777217, 4097 * 4097, 2147483647}) {
        const long long b256 = launch_shape_1d((int)n).grid_x, b16 = launch_shape_2d((int)n, 1).grid_x;
        EXPECT_TRUE(b256 * 256 >= n && (b256 - 1) * 256 < n) << n;
        EXPECT_TRUE(b16 * 16 >= n && (b16 - 1) * 16 < n) << n;
    }
    for (const auto& [blocks, parts] : {std::pair{1, 1}, {65535, 1}, {65536, 2}, {131071, 3}})
        EXPECT_EQ(launch_parts_y(LaunchShape{1, blocks, 16, 16}), parts) << blocks;
    EXPECT_FALSE(launch_shape_accepted(launch_shape_1d(0)));
    EXPECT_FALSE(launch_shape_accepted(launch_shape_2d(7, 0)));
    // More items than 32-bit indices hold are refused before anything runs.
    for (const long long n : {(long long)INT_MAX + 1, 1LL << 40}) {
        const std::string refusal = "GPU: a launch of " + std::to_string(n) + " items is beyond 32-bit item indices\n";
        EXPECT_EQ(capture_exit([&] { gpu_launch_1d(bound_choices(), n, FillCount1D{nullptr, nullptr, 0}); }).err, refusal);
        EXPECT_EQ(capture_exit([&] { gpu_launch_2d(bound_choices(), 1, n, FillCount2D{nullptr, nullptr, 1, 1}); }).err, refusal);
    }
    EXPECT_TRUE(launch_shape_accepted(launch_shape_1d(2147483647)));
    EXPECT_FALSE(launch_shape_accepted(LaunchShape{1, 1, 64, 32}));  // over 1024 threads per block
}

// Forks before any test touches CUDA, which a child of an initialised process cannot use.
TEST(LayerErrors, OutOfMemory) {
    gpu_use_backend(GPU_BACKEND_HOST);
    const size_t too_much = (size_t)sysconf(_SC_PHYS_PAGES) * (size_t)sysconf(_SC_PAGE_SIZE) + 4096;
    const Captured c = capture_exit([&] { (void)gpu_alloc_at(too_much, "/some/dir/wg.cpp", 321); });
    EXPECT_EQ(c.status, 255);
    EXPECT_EQ(c.err, "cudaSafeCall() Runtime API error in file <wg.cpp>, line 321 : out of memory.\n");
    const int line = __LINE__ + 1;
    const Captured m = capture_exit([&] { (void)gpu_alloc(too_much); });
    EXPECT_EQ(m.err, "cudaSafeCall() Runtime API error in file <test_gpu_layer.cpp>, line " + std::to_string(line) +
                         " : out of memory.\n");

}

class LayerKernels : public testing::TestWithParam<GpuBackend> {
  protected:
    void SetUp() override { USE_BACKEND_OR_SKIP(GetParam()); }
    void TearDown() override { gpu_use_backend(GPU_BACKEND_HOST); }
};

// Every item of the grid runs once; items past the range write nothing.
TEST_P(LayerKernels, GridsCoverExactlyTheirBlocks) {
    const int cases_1d[][2] = {{1, 256}, {256, 256}, {257, 512}, {65539, 65792}, {0, 0}, {-3, 0}};
    for (const auto& c : cases_1d) {
        float items = 0;
        const std::vector<float> got = on_device(std::vector<float>(65792 + 64, kSentinel), &items,
                                                 [&](float* out, float* n) { gpu_launch_1d(bound_choices(), c[0], FillCount1D{out, n, c[0]}); });
        EXPECT_EQ(items, (float)c[1]) << c[0];
        size_t wrong = 0;
        for (size_t r = 0; r < got.size(); ++r) wrong += got[r] != ((int)r < c[0] ? 3.0f * (float)r + 1.0f : kSentinel);
        EXPECT_EQ(wrong, 0u) << c[0];
    }
    const int cases_2d[][3] = {{16, 16, 1}, {17, 16, 2}, {16, 17, 2}, {33, 5, 3}, {100, 40, 21}, {0, 5, 0}};
    for (const auto& c : cases_2d) {
        const size_t size = (size_t)c[0] * c[1];
        float items = 0;
        const std::vector<float> got = on_device(std::vector<float>(size + 300, kSentinel), &items, [&](float* out, float* n) {
            gpu_launch_2d(bound_choices(), c[0], c[1], FillCount2D{out, n, c[0], c[1]});
        });
        EXPECT_EQ(items, (float)(c[2] * 256)) << c[0] << " x " << c[1];
        size_t wrong = 0;
        for (size_t e = 0; e < got.size(); ++e)
            wrong += got[e] != (e < size ? (float)(e % c[0]) + 1000.0f * (float)(e / c[0]) : kSentinel);
        EXPECT_EQ(wrong, 0u) << c[0] << " x " << c[1];
    }
}

// A y axis of 65 538 blocks, more than one launch takes, runs every item.
TEST_P(LayerKernels, ALongYAxisRunsInFull) {
    const int nx = 3, ny = 1048600;
    float items = 0;
    const std::vector<float> got = on_device(std::vector<float>((size_t)nx * ny, kSentinel), &items,
                                             [&](float* out, float*) { gpu_launch_2d(bound_choices(), nx, ny, FillCount2D{out, nullptr, nx, ny}); });
    size_t wrong = 0;
    for (size_t e = 0; e < got.size(); ++e) wrong += got[e] != (float)(e % nx) + 1000.0f * (float)(e / nx);
    EXPECT_EQ(wrong, 0u);
}

TEST_P(LayerKernels, CopiesZeroFillAndTheReadOnlyFetch) {
    // Sizes below and above the host backend's parallel-copy threshold, not multiples of 4.
    for (const size_t bytes : {size_t(13), (size_t(9) << 20) + 7}) {
        std::vector<unsigned char> in(bytes);
        for (size_t i = 0; i < bytes; ++i) in[i] = (unsigned char)((i * 2654435761u) >> 13);
        unsigned char* d = to_device(in);
        EXPECT_EQ((uintptr_t)d % 64, 0u);
        EXPECT_EQ(from_device(d, bytes), in) << bytes << " bytes";
        gpu_zero(d, bytes / 2 + 1);
        std::fill(in.begin(), in.begin() + (long)(bytes / 2 + 1), 0);
        EXPECT_EQ(from_device(d, bytes), in) << bytes << " bytes";
        gpu_free(d);
        // The host device hands out zero-filled buffers, also in place of a written one.
        unsigned char* fresh = static_cast<unsigned char*>(gpu_alloc(bytes));
        if (GetParam() == GPU_BACKEND_HOST) {
            EXPECT_EQ(from_device(fresh, bytes), std::vector<unsigned char>(bytes));
        }
        gpu_free(fresh);
    }
    gpu_free(nullptr);
    const int n = 5000;
    std::vector<float> in(n);
    for (int i = 0; i < n; ++i) in[i] = (float)(i % 97) - 40.25f;
    float *d_in = to_device(in), *d_out = to_device(std::vector<float>(n, kSentinel));
    gpu_launch_1d(bound_choices(), n, ScaleCopy1D{d_out, d_in, n});
    const std::vector<float> got = from_device(d_out, n);
    for (int i = 0; i < n; ++i) ASSERT_EQ(got[i], (float)(2.0 * (double)in[i] + 1.0)) << i;
    EXPECT_EQ(from_device(d_in, n), in);
    gpu_free(d_in);
    gpu_free(d_out);
}

TEST_P(LayerKernels, AtomicAddUnderContentionGivesExactSums) {
    // Integer-valued terms with sums below 2^24 are exact in any order.
    const int n = 1 << 17;
    std::vector<float> values(n);
    for (int r = 0; r < n; ++r) values[r] = (float)(r % 13 + 1);
    float* d_values = to_device(values);
    for (const int nbins : {1, 3, 64}) {
        std::vector<float> start(nbins);
        for (int b = 0; b < nbins; ++b) start[b] = (float)(100 * b);
        float* bins = to_device(start);
        gpu_launch_1d(bound_choices(), n, AtomicBins1D{bins, d_values, n, nbins});
        std::vector<long long> want(nbins);
        for (int b = 0; b < nbins; ++b) want[b] = 100LL * b;
        for (int r = 0; r < n; ++r) want[r % nbins] += r % 13 + 1;
        const std::vector<float> got = from_device(bins, nbins);
        for (int b = 0; b < nbins; ++b) EXPECT_EQ(got[b], (float)want[b]) << nbins << " bins, bin " << b;
        gpu_free(bins);
    }
    gpu_free(d_values);
}

TEST_P(LayerKernels, HostFormAndLiteralItemsAgree) {
    const int nx = 37, ny = 21;
    std::vector<float> image(nx * ny), want(nx * ny);
    for (int i = 0; i < nx * ny; ++i) image[i] = (float)i;
    for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x) want[x * ny + y] = image[y * nx + x];
    float *d_image = to_device(image), *d_out = to_device(std::vector<float>(nx * ny, kSentinel));
    int host_runs = 0;
    gpu_launch_2d(bound_choices(), nx, ny, TransposeWithHostRun{d_out, d_image, nx, ny, &host_runs});
    // The host backend takes the fast form; CUDA runs the items on the device.
    EXPECT_EQ(host_runs, GetParam() == GPU_BACKEND_HOST ? 1 : 0);
    EXPECT_EQ(from_device(d_out, nx * ny), want);
    std::vector<float> literal(nx * ny, kSentinel);
    host_items_2d(launch_shape_2d(nx, ny), TransposeWithHostRun{literal.data(), image.data(), nx, ny, &host_runs});
    EXPECT_EQ(literal, want);
    gpu_free(d_image);
    gpu_free(d_out);
}

INSTANTIATE_TEST_SUITE_P(Backends, LayerKernels, testing::ValuesIn(test_backends()), backend_param_name);
