// Weighting one sinogram on all threads (every row ramp-filtered by two FFTs of length N),
// for projection widths of typical tilt series; 61 tilts. The same with the
// per-tilt gains of --sirt-like=30, and the set-up of those gains (thickness
// = width, angles -60 .. 60 in steps of 2).
#include <benchmark/benchmark.h>

#include <vector>

#include "weighting/sirt_like_filter.h"
#include "weighting/weighting.h"

namespace {

std::vector<a> bench_tilts(int ntilts) {
    std::vector<a> tilts;
    for (int t = 0; t < ntilts; ++t) tilts.push_back(tilt_record(-60.0f + 2.0f * (float)t));
    return tilts;
}

std::vector<float> sirt_like_bench_gains(int nx, int ntilts) {
    const std::vector<a> tilts = bench_tilts(ntilts);
    return sirt_like_gains(tilts.data(), ntilts, nx, weighting_choose_fft_size(nx), 30, nullptr);
}

}  // namespace

static void BM_WeightSinogram(benchmark::State& state) {
    const int nx = (int)state.range(0), ntilts = 61;
    const bool sirt_like = state.range(1) != 0;
    std::vector<float> samples((size_t)nx * ntilts);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = (float)(i % 97);
    const WeightingFilterHandle filter = sirt_like ? weighting_setup_gains(nx, ntilts, sirt_like_bench_gains(nx, ntilts))
                                                   : weighting_setup(nx, ntilts);
    for (auto _ : state) {
        weighting_filter_rows(*filter, nx, samples.data(), ntilts);
        benchmark::DoNotOptimize(samples.data());
    }
    state.SetItemsProcessed(state.iterations() * ntilts);  // rows
    state.counters["N"] = weighting_fft_size(*filter);
}
BENCHMARK(BM_WeightSinogram)->ArgsProduct({{256, 512, 1024, 2048, 4096}, {0, 1}})->ArgNames({"nx", "sirt_like"});

// What --sirt-like adds to a run's set-up: the gains of every tilt.
static void BM_SirtLikeGains(benchmark::State& state) {
    const int nx = (int)state.range(0), ntilts = 61;
    for (auto _ : state) benchmark::DoNotOptimize(sirt_like_bench_gains(nx, ntilts).data());
}
BENCHMARK(BM_SirtLikeGains)->Arg(512)->Arg(4096)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
