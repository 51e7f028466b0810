// Weighting one sinogram (every row ramp-filtered by two FFTs of length N),
// for projection widths of typical tilt series; 61 tilts.
#include <benchmark/benchmark.h>

#include <vector>

#include "weighting/weighting.h"

static void BM_WeightSinogram(benchmark::State& state) {
    const int nx = (int)state.range(0), ntilts = 61;
    std::vector<float> samples((size_t)nx * ntilts);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = (float)(i % 97);
    std::vector<float*> rows((size_t)ntilts);
    for (int t = 0; t < ntilts; ++t) rows[(size_t)t] = samples.data() + (size_t)t * nx;
    float** section = rows.data();
    Image sinogram;
    sinogram.nx = nx;
    sinogram.ny = ntilts;
    sinogram.nz = 1;
    sinogram.data = &section;

    weighting_setup(nx, ntilts);
    for (auto _ : state) {
        weighting_apply(&sinogram);
        benchmark::DoNotOptimize(samples.data());
    }
    state.SetItemsProcessed(state.iterations() * ntilts);  // rows
    state.counters["N"] = weighting_fft_size();
    weighting_teardown();
    sinogram.data = nullptr;
}
BENCHMARK(BM_WeightSinogram)->Arg(256)->Arg(512)->Arg(1024)->Arg(2048)->Arg(4096);

BENCHMARK_MAIN();
