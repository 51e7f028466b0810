#include "weighting/fftw_planner.h"

#include <mutex>

#include "gpu/fault_hook.h"

namespace {

// FFTW's planner is one for the process: so is its lock.
std::mutex planner_mutex;
int plans_alive = 0;

}  // namespace

fftwf_plan fftw_plan_locked(const std::function<fftwf_plan()>& make) {
    if (gpu_fault_injected(GPU_FAULT_FFTW)) return nullptr;
    const std::lock_guard<std::mutex> lock(planner_mutex);
    const fftwf_plan plan = make();
    if (plan) ++plans_alive;
    return plan;
}

void fftw_destroy_locked(fftwf_plan plan) {
    if (!plan) return;
    const std::lock_guard<std::mutex> lock(planner_mutex);
    fftwf_destroy_plan(plan);
    if (--plans_alive == 0) fftwf_cleanup();
}

FftwPlan fftw_plan_owned(const std::function<fftwf_plan()>& make) { return FftwPlan(fftw_plan_locked(make)); }

FftwReals fftw_reals(size_t n) {
    if (gpu_fault_injected(GPU_FAULT_FFTW)) return nullptr;
    return FftwReals(fftwf_alloc_real(n));
}

FftwComplexes fftw_complexes(size_t n) {
    if (gpu_fault_injected(GPU_FAULT_FFTW)) return nullptr;
    return FftwComplexes(fftwf_alloc_complex(n));
}
