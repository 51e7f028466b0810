// The layer's own costs on each backend: buffer copies against the machine's copy
// bandwidth, a streaming 1-D kernel, and the atomic add under contention.
#include <benchmark/benchmark.h>

#include <vector>

#include "bandwidth.h"
#include "gpu/gpu_layer.h"
#include "tests/gpu/layer_kernels.h"

namespace {

// Fraction of the machine's copy bandwidth reached: of_host_copy counters (1.0 = the
// STREAM-style copy of all threads). Range 0 selects the backend (0 host, 1 CUDA); a missing one is reported as skipped.
bool use_backend(benchmark::State& state) {
    if (gpu_use_backend((GpuBackend)state.range(0))) return true;
    state.SkipWithError("backend not available on this machine");
    return false;
}

double machine_copy_bandwidth() {
    static const double bandwidth = host_copy_bandwidth(size_t(1) << 28);
    return bandwidth;
}

void BM_CopyRoundTrip(benchmark::State& state) {
    if (!use_backend(state)) return;
    const size_t bytes = (size_t)state.range(1);
    std::vector<char> host(bytes, 1);
    void* device = gpu_alloc(bytes);
    gpu_zero(device, bytes);  // first touch outside the timing
    for (auto _ : state) {
        gpu_copy_to_device(device, host.data(), bytes);
        gpu_copy_to_host(host.data(), device, bytes);
        benchmark::ClobberMemory();
    }
    gpu_free(device);
    // Read and written bytes, as the host bandwidth counts them.
    const double moved = 4.0 * (double)bytes * (double)state.iterations();
    state.SetBytesProcessed((int64_t)moved);
    state.counters["of_host_copy"] =
        benchmark::Counter(moved / machine_copy_bandwidth(), benchmark::Counter::kIsRate);
}

void BM_ScaleKernel(benchmark::State& state) {
    if (!use_backend(state)) return;
    const int n = (int)state.range(1);
    float* in = static_cast<float*>(gpu_alloc((size_t)n * sizeof(float)));
    float* out = static_cast<float*>(gpu_alloc((size_t)n * sizeof(float)));
    gpu_zero(in, (size_t)n * sizeof(float));
    for (auto _ : state) {
        gpu_launch_1d(ExecChoices{.backend = gpu_backend()}, n, ScaleCopy1D{out, in, n});
        gpu_synchronize();
    }
    gpu_free(in);
    gpu_free(out);
    const double moved = 8.0 * n * (double)state.iterations();
    state.SetBytesProcessed((int64_t)moved);
    state.counters["of_host_copy"] = benchmark::Counter(moved / machine_copy_bandwidth(), benchmark::Counter::kIsRate);
}

void BM_AtomicAdd(benchmark::State& state) {
    if (!use_backend(state)) return;
    const int n = 1 << 20, nbins = (int)state.range(1);
    float* values = static_cast<float*>(gpu_alloc((size_t)n * sizeof(float)));
    float* bins = static_cast<float*>(gpu_alloc((size_t)nbins * sizeof(float)));
    gpu_zero(values, (size_t)n * sizeof(float));
    gpu_zero(bins, (size_t)nbins * sizeof(float));
    for (auto _ : state) {
        gpu_launch_1d(ExecChoices{.backend = gpu_backend()}, n, AtomicBins1D{bins, values, n, nbins});
        gpu_synchronize();
    }
    gpu_free(values);
    gpu_free(bins);
    state.SetItemsProcessed((int64_t)n * state.iterations());
}

void BM_EmptyLaunch(benchmark::State& state) {
    if (!use_backend(state)) return;
    float* out = static_cast<float*>(gpu_alloc(256 * sizeof(float)));
    for (auto _ : state) {
        gpu_launch_1d(ExecChoices{.backend = gpu_backend()}, 1, ScaleCopy1D{out, out, 1});
        gpu_synchronize();
    }
    gpu_free(out);
}

}  // namespace

// Small sizes stay in cache; the large ones are far beyond it.
BENCHMARK(BM_CopyRoundTrip)->ArgsProduct({{0, 1}, {1 << 16, 1 << 27}})->UseRealTime();
BENCHMARK(BM_ScaleKernel)->ArgsProduct({{0, 1}, {1 << 14, 1 << 25}})->UseRealTime();
BENCHMARK(BM_AtomicAdd)->ArgsProduct({{0, 1}, {1, 64, 1 << 16}})->UseRealTime();
BENCHMARK(BM_EmptyLaunch)->ArgsProduct({{0, 1}})->UseRealTime();

BENCHMARK_MAIN();
