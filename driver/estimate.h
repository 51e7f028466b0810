#pragma once
// --estimate: the memory every method would need for the run's geometry and the
// size of the output, worked out by the same functions the run checks with.
#include <cstdio>
#include <string>

#include "driver/disk_space.h"
#include "driver/options.h"
#include "driver/run_memory.h"
#include "io/tilt_angles.h"
#include "method/geometry.h"

struct MethodEstimate {
    float device_mb;   // the figure the method's set-up checks against its device's memory_mb
    RunMemory need;    // the figures of the run's start-up check against the host's memory
    bool too_large;    // refused for 32-bit element counts, whatever the memory
    const char* note;  // how the method would run instead, or null
};

// WBP levels 0 to 3, then SIRT.
constexpr int kEstimatedMethods = 5;

struct RunEstimate {
    MethodEstimate method[kEstimatedMethods];
    double host_mb;          // sinogram, slice and filter on the host
    long long output_bytes;  // header and NX * thickness * NY samples of the output's MODE
    DiskSpace disk;          // free space beside the output, where known
    int host_threads = 0;    // threads of the run's parallel host work (0: not printed)
};

// Figures for the run's geometry, with the tilt records of the views used;
// per_tilt_filter counts the gains of --sirt-like in the WBP runs' host memory.
RunEstimate estimate_run(const a* tilts, const Geometry& g, bool per_tilt_filter = false);

// "WBP level 0" .. "WBP level 3", "SIRT".
extern const char* const estimate_method_names[kEstimatedMethods];

// "fits", "does not fit" or "too large for 32-bit element counts"; device_mb is
// the selected device's memory_mb.
const char* estimate_verdict(const MethodEstimate& m, float device_mb, bool device_is_host,
                             double host_available_mb);

// The printed lines, one per figure; "fits" where a run with the method would
// pass every memory check against device_mb and host_available_mb, and
// where the output's folder has room for it (when its free space is known).
// memory_bound names the limit that sets host_available_mb; other than "host",
// it follows the host memory figure in parentheses.
std::string estimate_text(const RunEstimate& e, float device_mb, bool device_is_host, double host_available_mb,
                          const char* memory_bound = "host");

// The rest of a --estimate run once the inputs are read and checked: the run's
// refusals of the output name, the device selection, the figures on standard
// output. Nothing is created at the output path.
// output holds the run's output size and the host memory it needs beside the
// method's (--xaxis-tilt's window of slices).
struct OutputEstimate {
    long long bytes;
    double extra_host_mb;
};
void print_estimate(const RunOptions& options, FILE* input, const a* tilts, const Geometry& g,
                    const OutputEstimate& output);

// The figures print_estimate prints, for the selected device.
RunEstimate estimate_run_output(const RunOptions& options, const a* tilts, const Geometry& g,
                                const OutputEstimate& output);
