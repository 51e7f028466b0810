// Products of a batch of slices against one slice at a time: time per slice at
// every WBP level and for SIRT (one iteration per slice), 512 x 512 slices
// (thickness 512) from 61 tilt-symmetric tilts, on the selected device (the host
// backend here), in the same run. Arguments: method (0 .. 3 the WBP levels, 4
// SIRT) and batch size (1 = the single-slice product). Counter per_slice_ms
// (the products alone, without the weighting); the matrix set-up time of the
// method is setup_s.
#include <benchmark/benchmark.h>

#include <immintrin.h>
#include <omp.h>

#include <chrono>
#include <cstring>
#include <random>
#include <vector>

#include "gpu/gpu_layer.h"
#include "bench_slices.h"
#include "method/method.h"
#include "sirt/sirt.h"
#include "wbp/wbp.h"
#include "wbp/wbp_sizes.h"
#include "wbp/wg_kernel.h"

namespace {

constexpr int kSirt = 4;

// Set-up of one method, kept across the benchmarks of that method.
int current = -1;
MethodPlan method;
double setup_seconds = 0;

void use_method(int m) {
    if (m == current) return;
    if (current >= 0) free(method);
    const std::vector<a> t = bench_tilts();
    const auto t0 = std::chrono::steady_clock::now();
    method = plan_method(method_options(m == kSirt, m % kSirt, 1), make_geometry(kWidth, kTilts, kWidth, kThickness),
                         t.data(), gpu_bound_device());
    setup_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    current = m;
}

// Multiplies and adds per second on vectors in registers, all threads: eight
// independent chains of a multiply then an add (not fused, as the products
// compute), 16 floats wide with AVX-512, 8 with AVX2, 4 with SSE.
constexpr long long kFloorSteps = 1 << 22;

double rate_of(int width, double seconds) {
    return 2.0 * 8 * width * (double)kFloorSteps * omp_get_max_threads() / seconds;
}

__attribute__((target("avx2"))) double avx2_rate() {
    const auto t0 = std::chrono::steady_clock::now();
    float sink = 0;
#pragma omp parallel reduction(+ : sink)
    {
        const __m256 k = _mm256_set1_ps(0.999f), c = _mm256_set1_ps(0.001f);
        __m256 a0 = k, a1 = k, a2 = k, a3 = k, a4 = k, a5 = k, a6 = k, a7 = k;
        for (long long i = 0; i < kFloorSteps; ++i) {
            a0 = _mm256_add_ps(_mm256_mul_ps(a0, k), c);
            a1 = _mm256_add_ps(_mm256_mul_ps(a1, k), c);
            a2 = _mm256_add_ps(_mm256_mul_ps(a2, k), c);
            a3 = _mm256_add_ps(_mm256_mul_ps(a3, k), c);
            a4 = _mm256_add_ps(_mm256_mul_ps(a4, k), c);
            a5 = _mm256_add_ps(_mm256_mul_ps(a5, k), c);
            a6 = _mm256_add_ps(_mm256_mul_ps(a6, k), c);
            a7 = _mm256_add_ps(_mm256_mul_ps(a7, k), c);
        }
        const __m256 t = _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3)),
                                       _mm256_add_ps(_mm256_add_ps(a4, a5), _mm256_add_ps(a6, a7)));
        sink += _mm256_cvtss_f32(t);
    }
    benchmark::DoNotOptimize(sink);
    return rate_of(8, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
}

__attribute__((target("avx512f"))) double avx512_rate() {
    const auto t0 = std::chrono::steady_clock::now();
    float sink = 0;
#pragma omp parallel reduction(+ : sink)
    {
        const __m512 k = _mm512_set1_ps(0.999f), c = _mm512_set1_ps(0.001f);
        __m512 a0 = k, a1 = k, a2 = k, a3 = k, a4 = k, a5 = k, a6 = k, a7 = k;
        for (long long i = 0; i < kFloorSteps; ++i) {
            a0 = _mm512_add_ps(_mm512_mul_ps(a0, k), c);
            a1 = _mm512_add_ps(_mm512_mul_ps(a1, k), c);
            a2 = _mm512_add_ps(_mm512_mul_ps(a2, k), c);
            a3 = _mm512_add_ps(_mm512_mul_ps(a3, k), c);
            a4 = _mm512_add_ps(_mm512_mul_ps(a4, k), c);
            a5 = _mm512_add_ps(_mm512_mul_ps(a5, k), c);
            a6 = _mm512_add_ps(_mm512_mul_ps(a6, k), c);
            a7 = _mm512_add_ps(_mm512_mul_ps(a7, k), c);
        }
        const __m512 t = _mm512_add_ps(_mm512_add_ps(_mm512_add_ps(a0, a1), _mm512_add_ps(a2, a3)),
                                       _mm512_add_ps(_mm512_add_ps(a4, a5), _mm512_add_ps(a6, a7)));
        float out[16];
        _mm512_storeu_ps(out, t);
        sink += out[0];
    }
    benchmark::DoNotOptimize(sink);
    return rate_of(16, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
}

double sse_rate() {
    const auto t0 = std::chrono::steady_clock::now();
    float sink = 0;
#pragma omp parallel reduction(+ : sink)
    {
        const __m128 k = _mm_set1_ps(0.999f), c = _mm_set1_ps(0.001f);
        __m128 a0 = k, a1 = k, a2 = k, a3 = k, a4 = k, a5 = k, a6 = k, a7 = k;
        for (long long i = 0; i < kFloorSteps; ++i) {
            a0 = _mm_add_ps(_mm_mul_ps(a0, k), c);
            a1 = _mm_add_ps(_mm_mul_ps(a1, k), c);
            a2 = _mm_add_ps(_mm_mul_ps(a2, k), c);
            a3 = _mm_add_ps(_mm_mul_ps(a3, k), c);
            a4 = _mm_add_ps(_mm_mul_ps(a4, k), c);
            a5 = _mm_add_ps(_mm_mul_ps(a5, k), c);
            a6 = _mm_add_ps(_mm_mul_ps(a6, k), c);
            a7 = _mm_add_ps(_mm_mul_ps(a7, k), c);
        }
        const __m128 t = _mm_add_ps(_mm_add_ps(_mm_add_ps(a0, a1), _mm_add_ps(a2, a3)),
                                    _mm_add_ps(_mm_add_ps(a4, a5), _mm_add_ps(a6, a7)));
        sink += _mm_cvtss_f32(t);
    }
    benchmark::DoNotOptimize(sink);
    return rate_of(4, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
}

// The widest vectors the processor has of those the host forms use.
double flop_rate() {
    if (__builtin_cpu_supports("avx512vl")) return avx512_rate();
    return __builtin_cpu_supports("avx2") ? avx2_rate() : sse_rate();
}

// Multiplies and adds per slice of the method's product: per stored entry, 4
// at level 0 and for SIRT's forward projection (2 terms), 4 at level 1, 8 at
// level 2 and SIRT's back-projection, and 8 more at level 3 for the entries
// with an opposite tilt; SIRT counts one iteration.
double mul_adds(const MethodPlan& m) {
    auto entries = [](const int* length, long long rows) {
        std::vector<int> len(rows);
        gpu_copy_to_host(len.data(), length, len.size() * sizeof(int));
        double sum = 0;
        for (int n : len) sum += n;
        return sum;
    };
    const Geometry& g = m.g;
    if (m.sirt_plan) {
        const SirtPlan& p = *m.sirt_plan;
        return 4 * entries(p.d.d_length_t.get(), p.sizes.nrows) + 8 * entries(p.d.d_length.get(), p.sizes.nRows);
    }
    const WbpSizes s = wbp_sizes(m.level_run, g);
    const double n = entries(m.wbp->d.d_length.get(), s.nRows);
    if (m.level_run <= 1) return (m.level_run == 0 ? 2 : 4) * n;
    if (m.level_run == 2) return 8 * n;
    // Entries past a row's length hold column 0, which has no opposite tilt,
    // so the count needs no layout.
    std::vector<int> col(s.entries);
    gpu_copy_to_host(col.data(), m.wbp->d.d_column, col.size() * sizeof(int));
    const int lo = wbp_mirrored_lo(g.sinoX), hi = wbp_mirrored_hi(g.Ntilts, g.sinoX);
    double paired = 0;
    for (int c : col) paired += c >= lo && c < hi;
    return 8 * n + 8 * paired;
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
        execute_products(method, sinos.data(), slices.data(), lanes);
        benchmark::DoNotOptimize(slices.data());
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
    const double per_slice_ms = seconds * 1e3 / ((double)state.iterations() * lanes);
    const double floor_ms = mul_adds(method) / flop_rate() * 1e3;
    state.counters["per_slice_ms"] = per_slice_ms;
    state.counters["floor_ms"] = floor_ms;
    state.counters["floor_ratio"] = per_slice_ms / floor_ms;
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
    if (current >= 0) free(method);
    return 0;
}
