#include "driver/run_memory.h"

#include "io/fail.h"
#include "sirt/sirt.h"
#include "wbp/wbp_sizes.h"
#include "weighting/weighting.h"

namespace {

constexpr double kMb = 1048576.0;

// Samples and row table of a one-section image.
double image_bytes(int nx, int ny) { return 4.0 * nx * ny + 8.0 * ny; }

}  // namespace

RunMemory run_memory_need(bool sirt, int level, const Geometry& g, bool per_tilt_filter) {
    RunMemory need;
    const double fft_size = weighting_choose_fft_size(g.sinoX);
    double filter_bytes = 2.0 * 8.0 * fft_size;
    if (per_tilt_filter) filter_bytes += 4.0 * fft_size * g.Ntilts;
    need.host_mb = (image_bytes(g.sinoX, g.Ntilts) + image_bytes(g.reconsX, g.reconsY) + filter_bytes) / kMb;
    need.device_mb = sirt ? (double)sirt_setup_required_mb(g) : wbp_sizes(level, g).bytes / kMb;
    return need;
}

namespace {
double counted_mb(const RunMemory& need, bool device_is_host) {
    return need.host_mb + (device_is_host ? need.device_mb : 0.0);
}
}  // namespace

bool run_memory_fits(const RunMemory& need, bool device_is_host, double available_mb) {
    return !(counted_mb(need, device_is_host) > available_mb);
}

void check_run_memory(const RunMemory& need, bool device_is_host, double available_mb) {
    const double total = counted_mb(need, device_is_host);
    if (!run_memory_fits(need, device_is_host, available_mb))
        failf("Not enough memory for this run: %.2f Mb needed, %.2f Mb available.\n\n", total, available_mb);
}
