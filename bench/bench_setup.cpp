// Set-up of every method: the WBP matrices of levels 0 to 3 and SIRT's
// matrices and weights, 512 x 512 slices (thickness 512) from 61 tilt-symmetric
// tilts, on the selected device (the host backend here).
//
// BM_Setup (method 0 .. 3 the WBP levels, 4 SIRT) times the whole set-up as a
// run meets it, on fresh buffers, which the build touches first: user_ms and
// sys_ms are the processor time of the process per set-up (on the host device
// the system time is mostly the kernel handing out and zeroing fresh pages).
// BM_MatrixBuild times the WBP matrix kernel alone on buffers already touched
// by a first build: the compute of the set-up without the first touch. Wall
// times suffer most from other jobs on the machine; user_ms less so.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <vector>

#include "gpu/buffers.h"
#include "gpu/gpu_layer.h"
#include "bench_slices.h"
#include "method/method.h"
#include "wbp/wbp.h"
#include "wbp/wbp_sizes.h"

namespace {

constexpr int kSirt = 4;

const Geometry& geometry() {
    static const Geometry g = make_geometry(kWidth, kTilts, kWidth, kThickness);
    return g;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double cpu_seconds(const timeval& t) { return (double)t.tv_sec + 1e-6 * (double)t.tv_usec; }

// Processor time of the whole process (all threads), user and system.
struct CpuTime {
    double user = 0, sys = 0;
    static CpuTime now() {
        rusage r;
        getrusage(RUSAGE_SELF, &r);
        return {cpu_seconds(r.ru_utime), cpu_seconds(r.ru_stime)};
    }
};

void cpu_counters(benchmark::State& state, const CpuTime& total) {
    state.counters["user_ms"] = total.user * 1e3 / (double)state.iterations();
    state.counters["sys_ms"] = total.sys * 1e3 / (double)state.iterations();
}

void BM_Setup(benchmark::State& state) {
    const int method = (int)state.range(0);
    const std::vector<a> tilts = bench_tilts();
    CpuTime total;
    for (auto _ : state) {
        const CpuTime c0 = CpuTime::now();
        const auto t0 = std::chrono::steady_clock::now();
        MethodPlan m = plan_method(method_options(method == kSirt, method % kSirt, 1), geometry(), tilts.data(),
                                   gpu_bound_device());
        state.SetIterationTime(seconds_since(t0));
        const CpuTime c1 = CpuTime::now();
        total.user += c1.user - c0.user;
        total.sys += c1.sys - c0.sys;
        free(m);
    }
    cpu_counters(state, total);
}

void BM_MatrixBuild(benchmark::State& state) {
    const int level = (int)state.range(0);
    const std::vector<a> tilts = bench_tilts();
    WbpPlan plan = wbp_setup(level, tilts.data(), geometry(), GpuDevice{}.memory_mb, ExecChoices{.backend = gpu_backend()});
    const WbpSizes s = wbp_sizes(level, geometry());
    CpuTime total;
    for (auto _ : state) {
        // The kernel adds to the row lengths; its entries overwrite the same values.
        gpu_zero(plan.d.d_length, (size_t)s.nRows * sizeof(int));
        const CpuTime c0 = CpuTime::now();
        const auto t0 = std::chrono::steady_clock::now();
        wbp_build_matrix(plan);
        state.SetIterationTime(seconds_since(t0));
        const CpuTime c1 = CpuTime::now();
        total.user += c1.user - c0.user;
        total.sys += c1.sys - c0.sys;
    }
    cpu_counters(state, total);
    wbp_free(plan);
}

BENCHMARK(BM_Setup)->DenseRange(0, kSirt)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(1.0);
BENCHMARK(BM_MatrixBuild)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
    gpu_select_device(-1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
