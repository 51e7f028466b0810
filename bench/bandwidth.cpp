#include "bandwidth.h"

#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

double host_copy_bandwidth(size_t bytes) {
    const size_t n = bytes / sizeof(float);
    float* src = static_cast<float*>(std::aligned_alloc(64, n * sizeof(float)));
    float* dst = static_cast<float*>(std::aligned_alloc(64, n * sizeof(float)));
    if (!src || !dst) return 0;
#pragma omp parallel for schedule(static)
    for (size_t i = 0; i < n; ++i) {
        src[i] = (float)i;
        dst[i] = 0;
    }
    double best = 1e30;
    for (int rep = 0; rep < 5; ++rep) {
        auto t0 = std::chrono::steady_clock::now();
#pragma omp parallel
        {
            const int nt = omp_get_num_threads(), id = omp_get_thread_num();
            const size_t chunk = (n + nt - 1) / nt, lo = std::min(n, chunk * id), hi = std::min(n, lo + chunk);
            std::memcpy(dst + lo, src + lo, (hi - lo) * sizeof(float));
        }
        auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
    }
    volatile float sink = dst[n / 2];
    (void)sink;
    std::free(src);
    std::free(dst);
    return 2.0 * (double)(n * sizeof(float)) / best;
}
