#include "driver/estimate.h"

#include <omp.h>

#include "driver/same_file.h"
#include "gpu/gpu_layer.h"
#include "io/output_modes.h"
#include "sirt/sirt.h"
#include "wbp/wbp_levels.h"
#include "wbp/wbp_sizes.h"

namespace {

MethodEstimate wbp_estimate(int level, const a* tilts, const Geometry& g, bool per_tilt_filter) {
    const int built = wbp_level_built(level, tilts, g.Ntilts);
    const bool as_level_2 = built != level;
    const WbpSizes s = wbp_sizes(built, g);
    return {s.required_mb, run_memory_need(false, level, g, per_tilt_filter), !wbp_counts_fit_32(s, g.sinoX, g.Ntilts),
            as_level_2 ? "angles not tilt-symmetric: runs level 2" : nullptr};
}

MethodEstimate sirt_estimate(const a* tilts, const Geometry& g) {
    const RunMemory need = run_memory_need(true, 0, g);
    const SirtTransposeShape t = sirt_counts_fit_32(g) ? sirt_transpose_shape(tilts, g) : SirtTransposeShape{};
    if (!t.fits_32) return {sirt_setup_required_mb(g), need, true, "transposed matrix not counted"};
    return {sirt_required_mb(g, t), need, false, nullptr};
}

void append(std::string* text, const char* format, auto... values) {
    char line[160];
    snprintf(line, sizeof line, format, values...);
    *text += line;
}

// ", <free> Mb free in <folder>, fits" (or "does not fit").
std::string estimate_disk_text(long long output_bytes, const DiskSpace& disk) {
    char text[64];
    snprintf(text, sizeof text, ", %.2f Mb free in ", disk.free_bytes / 1048576.0);
    return text + disk.folder + ((double)output_bytes <= disk.free_bytes ? ", fits" : ", does not fit");
}

}  // namespace

const char* const estimate_method_names[kEstimatedMethods] = {"WBP level 0", "WBP level 1", "WBP level 2",
                                                              "WBP level 3", "SIRT"};

const char* estimate_verdict(const MethodEstimate& m, float device_mb, bool device_is_host,
                             double host_available_mb) {
    if (m.too_large) return "too large for 32-bit element counts";
    const bool fits = gpu_memory_fits(m.device_mb, device_mb) && run_memory_fits(m.need, device_is_host, host_available_mb);
    return fits ? "fits" : "does not fit";
}

RunEstimate estimate_run(const a* tilts, const Geometry& g, bool per_tilt_filter) {
    RunEstimate e{};
    for (int level = 0; level <= 3; ++level)
        e.method[level] = wbp_estimate(level, tilts, g, per_tilt_filter);
    e.method[4] = sirt_estimate(tilts, g);
    e.host_mb = e.method[0].need.host_mb;
    e.output_bytes = output_volume_bytes(g.reconsX, g.reconsY, g.slices, 2);
    return e;
}

std::string estimate_text(const RunEstimate& e, float device_mb, bool device_is_host, double host_available_mb,
                          const char* memory_bound) {
    std::string text;
    append(&text, "Device memory available: %.2f Mb\n", (double)device_mb);
    append(&text, "Host memory available: %.2f Mb", host_available_mb);
    text += std::string(memory_bound) == "host" ? "\n" : std::string(" (") + memory_bound + ")\n";
    if (e.host_threads > 0) append(&text, "Host threads: %d\n", e.host_threads);
    for (int m = 0; m < kEstimatedMethods; ++m) {
        const MethodEstimate& method = e.method[m];
        append(&text, "%s: %.2f Mb device, %s", estimate_method_names[m], (double)method.device_mb,
               estimate_verdict(method, device_mb, device_is_host, host_available_mb));
        if (method.note) text += std::string(" (") + method.note + ")";
        text += "\n";
    }
    const bool host_fits = run_memory_fits(RunMemory{e.host_mb, 0.0}, false, host_available_mb);
    append(&text, "Host memory: %.2f Mb, %s\n", e.host_mb, host_fits ? "fits" : "does not fit");
    append(&text, "Output file: %lld bytes", e.output_bytes);
    if (e.disk.known)
        text += estimate_disk_text(e.output_bytes, e.disk);
    text += "\n";
    return text;
}

void print_estimate(const RunOptions& options, FILE* input, const a* tilts, const Geometry& g,
                    const OutputEstimate& output) {
    refuse_unsafe_output(options.output_file.c_str(), input, options.tilt_file.c_str());
    const GpuDevice device = gpu_select_device(options.gpu);
    const RunEstimate e = estimate_run_output(options, tilts, g, output);
    fputs(estimate_text(e, device.memory_mb, !gpu_cuda_available(), host_available_memory_mb(), host_memory_bound())
              .c_str(),
          stdout);
}

RunEstimate estimate_run_output(const RunOptions& options, const a* tilts, const Geometry& g,
                                const OutputEstimate& output) {
    RunEstimate e = estimate_run(tilts, g, options.sirt_like > 0);
    e.output_bytes = output.bytes;
    e.host_mb += output.extra_host_mb;
    for (MethodEstimate& m : e.method) m.need.host_mb += output.extra_host_mb;
    e.disk = output_disk_space(options.output_file.c_str());
    e.host_threads = omp_get_max_threads();
    return e;
}
