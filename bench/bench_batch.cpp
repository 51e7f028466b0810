// Products of a batch of slices against one slice at a time: time per slice at
// every WBP level and for SIRT (one iteration per slice), 512 x 512 slices
// (thickness 512) from 61 tilt-symmetric tilts, on the selected device (the host
// backend here), in the same run. Arguments: method (0 .. 3 the WBP levels, 4
// SIRT) and batch size (1 = the single-slice product). Counter per_slice_ms
// (the products alone, without the weighting); the matrix set-up time of the
// method is setup_s.
#include <benchmark/benchmark.h>

#include <chrono>
#include <random>
#include <vector>

#include "gpu/gpu_layer.h"
#include "bench_slices.h"
#include "method/method.h"

namespace {

constexpr int kSirt = 4;

// Set-up of one method, kept across the benchmarks of that method.
int current = -1;
Method method;
double setup_seconds = 0;

void use_method(int m) {
    if (m == current) return;
    if (current >= 0) method_free(method);
    const std::vector<a> t = bench_tilts();
    const auto t0 = std::chrono::steady_clock::now();
    method = method_setup(m == kSirt, m % kSirt, 1, t.data(), make_geometry(kWidth, kTilts, kWidth, kThickness));
    setup_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    current = m;
}

void BM_Product(benchmark::State& state) {
    const int lanes = (int)state.range(1);
    use_method((int)state.range(0));
    const size_t n = (size_t)kWidth * kTilts, npix = (size_t)kWidth * kThickness;
    std::vector<float> sinos(n * lanes), slices(npix * lanes);
    std::mt19937 gen(5);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (float& v : sinos) v = dist(gen);
    double seconds = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        method_products(method, slices.data(), sinos.data(), lanes);
        benchmark::DoNotOptimize(slices.data());
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
    state.counters["per_slice_ms"] = seconds * 1e3 / ((double)state.iterations() * lanes);
    state.counters["setup_s"] = setup_seconds;
}

void Args(benchmark::internal::Benchmark* b) {
    for (int method = 0; method <= kSirt; ++method)
        for (int lanes : {1, 8, 16, 32}) b->Args({method, lanes});
}

BENCHMARK(BM_Product)->Apply(Args)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
    gpu_select_device(-1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (current >= 0) method_free(method);
    return 0;
}
