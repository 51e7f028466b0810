#pragma once
// The memory a run needs, worked out from its sizes alone before anything large
// is allocated.
#include "method/geometry.h"

struct RunMemory {
    double host_mb;    // sinogram and slice images, weighting buffers
    double device_mb;  // the method's device buffers (for SIRT without the transposed
                       // matrix, whose size is known only once it is built)
};

// Need of a run of the method (SIRT, or WBP at level) for the run's geometry, in
// Mb (bytes / 1048576); per_tilt_filter adds the gains of --sirt-like.
RunMemory run_memory_need(bool sirt, int level, const Geometry& g, bool per_tilt_filter = false);

// True when the host part, plus the device part where the device is the host
// itself, is at most available_mb.
bool run_memory_fits(const RunMemory& need, bool device_is_host, double available_mb);

// Ends the run with "Not enough memory for this run: <need> Mb needed, <available>
// Mb available.\n\n" when the need does not fit.
void check_run_memory(const RunMemory& need, bool device_is_host, double available_mb);
