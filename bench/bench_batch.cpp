// Products of a batch of slices against one slice at a time: time per slice at
// every WBP level and for SIRT (one iteration per slice), 512 x 512 slices
// (thickness 512) from 61 tilt-symmetric tilts, on the selected device (the host
// backend here), in the same run. Arguments: method (0 .. 3 the WBP levels, 4
// SIRT) and batch size (1 = the single-slice product). Counter per_slice_ms;
// the matrix set-up time of the method is reported once as setup_s.
#include <benchmark/benchmark.h>

#include <chrono>
#include <random>
#include <vector>

#include "gpu/gpu_layer.h"
#include "gpu/wg.h"
#include "io/tilt_angles.h"
#include "wbp/wbp_batch.h"

namespace {

constexpr int kWidth = 512, kThickness = 512, kTilts = 61, kSirt = 4;

std::vector<a> bench_tilts() {
    std::vector<a> tilts(kTilts);
    for (int t = 0; t < kTilts; ++t) tilts[t] = tilt_record(t == 0 ? -60.0f : -59.0f + 2.0f * (t - 1));
    return tilts;
}

// Set-up of one method, kept across the benchmarks of that method.
int current = -1;
double setup_seconds = 0;

void use_method(int method) {
    if (method == current) return;
    if (current == kSirt) sirt_free();
    else if (current >= 0) wbp_free();
    const std::vector<a> t = bench_tilts();
    const auto t0 = std::chrono::steady_clock::now();
    switch (method) {
        case 0: wbp_setup_sym0(t.data(), kWidth, kTilts, kWidth, kThickness, kTilts); break;
        case 1: wbp_setup_sym1(t.data(), kWidth, kTilts, kWidth, kThickness, kTilts); break;
        case 2: wbp_setup_sym2(t.data(), kWidth, kTilts, kWidth, kThickness, kTilts); break;
        case 3: wbp_setup_sym3(t.data(), kWidth, kTilts, kWidth, kThickness, kTilts); break;
        default: sirt_setup(t.data(), kWidth, kTilts, kWidth, kThickness, kTilts); break;
    }
    setup_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    current = method;
}

void single(int method, float* slice, const float* sino) {
    switch (method) {
        case 0: wbp_product_sym0(slice, sino, kWidth, kTilts, kWidth, kThickness); break;
        case 1: wbp_product_sym1(slice, sino, kWidth, kTilts, kWidth, kThickness, kTilts); break;
        case 2: wbp_product_sym2(slice, sino, kWidth, kTilts, kWidth, kThickness, kTilts); break;
        case 3: wbp_product_sym3(slice, sino, kWidth, kTilts, kWidth, kThickness, kTilts); break;
        default: sirt_reconstruct_slice(slice, sino, kWidth, kTilts, kWidth, kThickness, 1); break;
    }
}

void BM_Product(benchmark::State& state) {
    const int method = (int)state.range(0), lanes = (int)state.range(1);
    use_method(method);
    const size_t n = (size_t)kWidth * kTilts, npix = (size_t)kWidth * kThickness;
    std::vector<float> sinos(n * lanes), slices(npix * lanes);
    std::mt19937 gen(5);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (float& v : sinos) v = dist(gen);
    double seconds = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        if (lanes == 1) single(method, slices.data(), sinos.data());
        else if (method == kSirt)
            sirt_reconstruct_batch(slices.data(), sinos.data(), lanes, kWidth, kTilts, kWidth, kThickness, 1);
        else wbp_product_batch(method, slices.data(), sinos.data(), lanes, kWidth, kTilts, kWidth, kThickness);
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
    if (current == kSirt) sirt_free();
    else if (current >= 0) wbp_free();
    return 0;
}
