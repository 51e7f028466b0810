#pragma once
// FFTW's planner is not thread-safe: making and destroying plans (and releasing
// its state) must not run on two threads at once, while executing a made plan
// may. Every plan of the program is made and destroyed here, under one lock;
// the planner's state (twiddle tables, wisdom) is released when the last plan
// is gone, so that a finished run leaves nothing of FFTW behind.
#include <fftw3.h>

#include <functional>

// Runs `make` (which calls an fftwf_plan_* function) under the lock and
// counts the plan it returns (null: nothing made).
fftwf_plan fftw_plan_locked(const std::function<fftwf_plan()>& make);

// Destroys a plan made by fftw_plan_locked (null: nothing).
void fftw_destroy_locked(fftwf_plan plan);
