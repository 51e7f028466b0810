#pragma once
// FFTW's planner is process-wide and not thread-safe: making and destroying
// plans (and releasing its state) must not run on two threads at once, while
// executing a made plan may. Every plan of the program is made and destroyed
// here, under one lock, which is why that lock (and the count of live plans
// beside it) is process-wide state; the planner's state (twiddle tables,
// wisdom) is released when the last plan is gone, so that a finished run
// leaves nothing of FFTW behind.
#include <fftw3.h>

#include <cstddef>
#include <functional>
#include <type_traits>
#include <memory>

// Runs `make` (which calls an fftwf_plan_* function) under the lock and
// counts the plan it returns (null: nothing made, or a test's fault hook said so).
fftwf_plan fftw_plan_locked(const std::function<fftwf_plan()>& make);

// Destroys a plan made by fftw_plan_locked (null: nothing).
void fftw_destroy_locked(fftwf_plan plan);

// Owners of plans and of FFTW's aligned buffers: moved, never copied.
struct FftwPlanRelease {
    void operator()(fftwf_plan p) const { fftw_destroy_locked(p); }
};
using FftwPlan = std::unique_ptr<std::remove_pointer_t<fftwf_plan>, FftwPlanRelease>;

struct FftwFree {
    void operator()(void* p) const { fftwf_free(p); }
};
using FftwReals = std::unique_ptr<float[], FftwFree>;
using FftwComplexes = std::unique_ptr<fftwf_complex[], FftwFree>;

// n values from fftwf_malloc, or null where the memory cannot be had (or a
// test's fault hook says so).
FftwReals fftw_reals(size_t n);
FftwComplexes fftw_complexes(size_t n);

// A plan made under the lock, owned.
FftwPlan fftw_plan_owned(const std::function<fftwf_plan()>& make);
