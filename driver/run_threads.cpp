#include "driver/run_threads.h"

#include <omp.h>

#include <cstdlib>

#include "gpu/host_limits.h"

int allowed_host_threads() { return quota_threads(omp_get_num_procs(), cgroup_cpu_quota("")); }

int use_allowed_host_threads() {
    if (std::getenv("OMP_NUM_THREADS")) return omp_get_max_threads();
    const int threads = allowed_host_threads();
    // Without a quota OpenMP's own choice is the same: nothing to change.
    if (threads == omp_get_num_procs()) return omp_get_max_threads();
    omp_set_num_threads(threads);  // the devices selected from here on pass it to their threads
    return threads;
}
