#pragma once
// The processes that share one run: one by default, or the ranks of an MPI
// job. The lead (rank 0) checks the inputs and opens the output before the
// others follow, so that an error is reported once; each rank reconstructs a
// slab, and the lead completes the output. An unset hook stands for one process.
#include <functional>
#include <string>
#include <vector>

#include "driver/slice_range.h"
#include "driver/volume_stats.h"
#include "gpu/gpu_layer.h"

struct Run;

struct RunTeam {
    bool lead = true;
    int processes_on_host = 1;  // sharing the host's memory
    // The lead's text on every process.
    std::function<std::string(const std::string& text)> share;
    // The lead's verdict once it has checked the inputs and opened the output
    // (false: the run ends there, as after --estimate), on every process.
    std::function<bool(bool going)> follow;
    // The device this process reconstructs on.
    std::function<GpuDevice(const Run& run, bool announce)> select_device;
    // Every process waits here for all.
    std::function<void()> barrier;
    // The statistics of every slice (each process holds those of its slabs), merged at the lead.
    std::function<VolumeStats(const std::vector<VolumeStats>& mine, const SliceRange& range)> gather;
};
