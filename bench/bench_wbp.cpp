// WBP product per slice at every symmetry level, 512 x 512 slices (thickness
// 512) from 61 tilts, on the selected device (the host backend here).
//
// The product is bound by reading the matrix, so each level reports the matrix
// bytes it streams per slice (entries in use plus the per-row arrays), their
// rate, the machine's copy bandwidth measured in the same run, and
//   ratio = time per slice / (matrix bytes / copy bandwidth),
// the time against the floor of reading the matrix once at copy speed. The
// host form of levels 2 and 3 reads only part of the stored matrix; read_MB and
// ratio_read give the same figures for the bytes it actually reads. readonly_GBps
// is the rate at which the machine's threads can merely read memory, the
// ceiling for matrix_GBps.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <random>
#include <vector>

#include "bandwidth.h"
#include "gpu/gpu_layer.h"
#include "host_simd/host_run.h"
#include "gpu/buffers.h"
#include "bench_slices.h"
#include "wbp/wbp.h"

namespace {

double copy_bandwidth() {
    static const double bw = host_copy_bandwidth();
    return bw;
}

// For context: the rate at which all threads can only read a large buffer
// (bytes read per second, the fastest of a few passes). A product that reads
// its matrix at this rate is as fast as memory allows.
double read_bandwidth() {
    static const double bw = [] {
        const size_t n = (size_t)1 << 27;  // 512 MB of floats
        std::vector<float> v(n, 1.0f);
        double best = 1e30;
        for (int rep = 0; rep < 5; ++rep) {
            const auto t0 = std::chrono::steady_clock::now();
            float total = 0;
#pragma omp parallel for reduction(+ : total) schedule(static)
            for (size_t i = 0; i < n; i += 16) {
                float s = 0;
                for (int l = 0; l < 16; ++l) s += v[i + l];
                total += s;
            }
            benchmark::DoNotOptimize(total);
            best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        }
        return (double)n * sizeof(float) / best;
    }();
    return bw;
}

const Geometry& geometry() {
    static const Geometry g = make_geometry(kWidth, kTilts, kWidth, kThickness);
    return g;
}

WbpPlan plan;

void setup(int level, const std::vector<a>& t) { plan = wbp_setup(level, t.data(), geometry(), GpuDevice{}.memory_mb, ExecChoices{.backend = gpu_backend()});
}

void product(float* slice, const float* sino) { wbp_product(plan, slice, sino, 1); }

struct MatrixBytes {
    double stored;     // every array of the level: entries in use and per-row words
    double host_read;  // what the host form reads: weight and column per entry, lengths
};

// Levels 2 and 3 store a mirrored column per entry (and level 3 two mirror
// indices per row), which the host form derives instead of reading.
MatrixBytes matrix_bytes(int level) {
    const int nRows = kWidth * (level <= 1 ? kThickness : (kThickness + 1) / 2);
    std::vector<int> len(nRows);
    gpu_copy_to_host(len.data(), plan.d.d_length, len.size() * sizeof(int));
    double entries = 0;
    for (int n : len) entries += n;
    const double per_entry = level >= 2 ? 12 : 8;
    const double per_row = level == 3 ? 12 : 4;
    return {entries * per_entry + (double)nRows * per_row, entries * 8 + (double)nRows * 4};
}

void BM_WbpProduct(benchmark::State& state) {
    const int level = (int)state.range(0);
    const auto vectors = (host_rows::Vectors)state.range(1);
    if (gpu_backend() == GPU_BACKEND_HOST && !host_rows::host_forms(vectors)) {
        state.SkipWithError("this processor lacks the vector set");
        return;
    }
    const double bandwidth = copy_bandwidth(), read_only = read_bandwidth();
    const std::vector<a> tilts = bench_tilts();
    setup(level, tilts);
    plan.host = host_rows::host_run_for(vectors);
    const MatrixBytes mb = matrix_bytes(level);
    const double bytes = mb.stored;

    std::vector<float> sino((size_t)kWidth * kTilts), slice((size_t)kWidth * kThickness);
    std::mt19937 gen(1);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (float& s : sino) s = dist(gen);

    double seconds = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        product(slice.data(), sino.data());
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        benchmark::DoNotOptimize(slice.data());
    }
    wbp_free(plan);

    const double per_slice = seconds / (double)state.iterations();
    state.counters["matrix_MB"] = bytes / 1e6;
    state.counters["matrix_GBps"] = bytes / per_slice / 1e9;
    state.counters["copy_GBps"] = bandwidth / 1e9;
    state.counters["floor_ms"] = bytes / bandwidth * 1e3;
    state.counters["ratio"] = per_slice / (bytes / bandwidth);
    state.counters["read_MB"] = mb.host_read / 1e6;
    state.counters["ratio_read"] = per_slice / (mb.host_read / bandwidth);
    state.counters["readonly_GBps"] = read_only / 1e9;
}

// Every level with each vector set of the host forms: 2 = AVX-512VL, 1 = AVX2,
// 0 = the SSE2 baseline (a set the processor lacks is skipped).
BENCHMARK(BM_WbpProduct)
    ->ArgsProduct({{0, 1, 2, 3}, {2, 1, 0}})
    ->ArgNames({"level", "vectors"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
