// SIRT per-slice cost on the selected backend for a 512-wide slice, 512 thick,
// 61 tilts of -60 .. 60 degrees: the forward projection, the back-projection,
// one whole iteration and a 30-iteration slice. Both products stream their
// matrix once per iteration, so their speed is compared with the machine's
// copy bandwidth measured in the same run ("floor_ratio" = copy bandwidth /
// matrix bytes per second; 1 means the matrix streams as fast as memory copies).
// Figures and the machine they came from: bench/README.md.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include "bandwidth.h"
#include "gpu/gpu_layer.h"
#include "sirt/sirt.h"
#include "sirt/sirt_batch_kernel.h"
#include "gpu/buffers.h"

namespace {

constexpr int kWidth = 512, kThickness = 512, kTilts = 61, kIterations = 30;

struct Bench {
    std::vector<a> tilts;
    std::vector<float> sino, slice;
    double forward_bytes = 0, back_bytes = 0;  // matrix bytes read per product
    double copy_bandwidth = 0;
    SirtPlan plan;
};

template <class T>
double sum_lengths(const T* d, int n) {
    std::vector<T> v(n);
    gpu_copy_to_host(v.data(), d, sizeof(T) * (size_t)n);
    return std::accumulate(v.begin(), v.end(), 0.0);
}

Bench& bench() {
    static Bench* b = [] {
        Bench* s = new Bench;
        for (int t = 0; t < kTilts; ++t) s->tilts.push_back(tilt_record(-60.0f + 2.0f * t));
        std::mt19937 rng(5);
        std::uniform_real_distribution<float> d(0.0f, 100.0f);
        s->sino.resize((size_t)kWidth * kTilts);
        for (float& v : s->sino) v = d(rng);
        s->slice.resize((size_t)kWidth * kThickness);
        s->plan = sirt_setup(s->tilts.data(), make_geometry(kWidth, kTilts, kWidth, kThickness), 1.0e6f,
                             ExecChoices{.backend = gpu_backend()});
        const MethodBuffers& bufs = s->plan.d;
        const SirtSizes& sirt_sizes = s->plan.sizes;
        // Weight and index per entry, plus the per-row length (and bin).
        s->forward_bytes = 8.0 * sum_lengths(bufs.d_length_t.get(), sirt_sizes.nrows) + 8.0 * sirt_sizes.nrows;
        s->back_bytes = 12.0 * sum_lengths(bufs.d_length.get(), sirt_sizes.nRows) + 4.0 * sirt_sizes.nRows;
        s->copy_bandwidth = host_copy_bandwidth();
        return s;
    }();
    return *b;
}

void report(benchmark::State& state, double bytes_per_item) {
    const Bench& b = bench();
    state.SetBytesProcessed((int64_t)(bytes_per_item * (double)state.iterations()));
    state.counters["matrix_GBps"] =
        benchmark::Counter(bytes_per_item * 1e-9, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["copy_GBps"] = b.copy_bandwidth * 1e-9;
}

// The one-lane products on the set-up's matrices, in the layouts the plan
// stored them in, with the bench's own slice and error sinogram.
float* bench_slice() {
    static float* x = static_cast<float*>(gpu_alloc(4 * (size_t)kWidth * kThickness));
    return x;
}
float* bench_error() {
    static float* e = static_cast<float*>(gpu_alloc(4 * (size_t)kWidth * kTilts));
    return e;
}

cu_SIRT_fwproduct_batch forward() {
    const MethodBuffers& d = bench().plan.d;
    const SirtSizes& sirt_sizes = bench().plan.sizes;
    cu_SIRT_fwproduct_batch k{d.d_matrix_t, bench_slice(), bench_error(), d.d_column_t, d.d_length_t, d.d_idrow_t,
                              sirt_sizes.nrows, sirt_sizes.alignment, 1, sirt_sizes.bands};
    k.host = &bench().plan.host;
    return k;
}

cu_SIRT_product_batch back() {
    const MethodBuffers& d = bench().plan.d;
    const SirtSizes& sirt_sizes = bench().plan.sizes;
    cu_SIRT_product_batch k{d.d_matrix, bench_slice(), bench_error(), d.d_column, d.d_column2, d.d_length,
                            sirt_sizes.nRows, sirt_sizes.alignment_n, kWidth * kThickness, 1, kTilts, kWidth,
                            sirt_sizes.tiles};
    k.host = &bench().plan.host;
    return k;
}

void BM_SirtForwardProjection(benchmark::State& state) {
    Bench& b = bench();
    sirt_reconstruct(b.plan, b.slice.data(), b.sino.data(), 1, 2);
    gpu_copy_to_device(bench_slice(), b.slice.data(), 4 * b.slice.size());
    const size_t sino_bytes = 4 * (size_t)kWidth * kTilts;
    for (auto _ : state) {
        gpu_zero(bench_error(), sino_bytes);
        gpu_launch_1d(b.plan.x, b.plan.sizes.nrows, forward());
        gpu_synchronize();
    }
    report(state, b.forward_bytes);
}

void BM_SirtBackProjection(benchmark::State& state) {
    Bench& b = bench();
    for (auto _ : state) {
        gpu_launch_1d(b.plan.x, b.plan.sizes.nRows, back());
        gpu_synchronize();
    }
    report(state, b.back_bytes);
}

// One iteration: zero, forward projection, error, back-projection.
void BM_SirtIteration(benchmark::State& state) {
    Bench& b = bench();
    sirt_reconstruct(b.plan, b.slice.data(), b.sino.data(), 1, 2);
    gpu_copy_to_device(bench_slice(), b.slice.data(), 4 * b.slice.size());
    const size_t sino_bytes = 4 * (size_t)kWidth * kTilts;
    float* measured = static_cast<float*>(gpu_alloc(sino_bytes));
    gpu_copy_to_device(measured, b.sino.data(), sino_bytes);
    const cu_SIRT_comperror_batch error{bench_error(), measured, b.plan.d.d_weights, kTilts, kWidth, 1};
    for (auto _ : state) {
        gpu_zero(bench_error(), sino_bytes);
        gpu_launch_1d(b.plan.x, b.plan.sizes.nrows, forward());
        gpu_synchronize();
        gpu_launch_2d(b.plan.x, kTilts, kWidth, error);
        gpu_synchronize();
        gpu_launch_1d(b.plan.x, b.plan.sizes.nRows, back());
        gpu_synchronize();
    }
    gpu_free(measured);
    const double bytes = b.forward_bytes + b.back_bytes;
    report(state, bytes);
    state.counters["floor_ratio"] = benchmark::Counter(bytes / b.copy_bandwidth,
                                                        benchmark::Counter::kIsIterationInvariantRate |
                                                            benchmark::Counter::kInvert);
}

// A whole slice as the driver runs it; time per SIRT iteration in ms.
void BM_SirtSlice30(benchmark::State& state) {
    Bench& b = bench();
    for (auto _ : state) {
        sirt_reconstruct(b.plan, b.slice.data(), b.sino.data(), 1,
                         kIterations);
        benchmark::DoNotOptimize(b.slice.data());
    }
    state.counters["ms_per_iteration"] =
        benchmark::Counter(kIterations * 1e-3, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    report(state, kIterations * (b.forward_bytes + b.back_bytes));
}

// What the interleaved layout allows on the host: the forward projection's
// weights and pixel indices read in the same blocks of rows and entry runs,
// summed without the pixel gather. Host backend only.
void BM_HostInterleavedStream(benchmark::State& state) {
    Bench& b = bench();
    if (gpu_backend() != GPU_BACKEND_HOST) {
        state.SkipWithError("reads the matrix in host memory");
        return;
    }
    const int rows = b.plan.sizes.nrows, stride = b.plan.sizes.alignment;
    constexpr int kBlock = 8192;  // rows per block, whose sums stay in L2
    const int block = kBlock;
    std::vector<int> len(rows);
    gpu_copy_to_host(len.data(), b.plan.d.d_length_t, sizeof(int) * (size_t)rows);
    for (auto _ : state) {
        float total = 0;
#pragma omp parallel for schedule(dynamic, 1) reduction(+ : total)
        for (int r0 = 0; r0 < rows; r0 += block) {
            const int n = std::min(block, rows - r0);
            const int kmax = *std::max_element(len.begin() + r0, len.begin() + r0 + n);
            float acc[kBlock] = {};
            for (int k = 0; k < kmax; ++k) {
                const float* w = b.plan.d.d_matrix_t + (size_t)k * stride + r0;
                const int* col = b.plan.d.d_column_t + (size_t)k * stride + r0;
                for (int q = 0; q < n; ++q) acc[q] += w[q] * (float)col[q];
            }
            for (int q = 0; q < n; ++q) total += acc[q];
        }
        benchmark::DoNotOptimize(total);
    }
    report(state, b.forward_bytes);
}

BENCHMARK(BM_SirtForwardProjection)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SirtBackProjection)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SirtIteration)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SirtSlice30)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_HostInterleavedStream)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
