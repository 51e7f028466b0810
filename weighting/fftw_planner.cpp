#include "weighting/fftw_planner.h"

#include <mutex>

namespace {

std::mutex planner_mutex;
int plans_alive = 0;

}  // namespace

fftwf_plan fftw_plan_locked(const std::function<fftwf_plan()>& make) {
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
