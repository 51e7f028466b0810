#include "driver/run_steps.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

#include "driver/log_input.h"
#include "driver/run_memory.h"
#include "driver/slice_pipeline.h"
#include "gpu/gpu_layer.h"
#include "io/array_stack.h"
#include "io/fail.h"
#include "io/output_modes.h"
#include "method/detector_shift.h"
#include "weighting/weighting.h"

namespace {

// The methods count slice pixels in 32-bit integers.
void check_slice_size(int nx, int thickness) {
    const long long pixels = (long long)nx * thickness;
    if (pixels > INT32_MAX)
        failf("Slice too large: NX * thickness = %lld pixels, at most 2147483647 supported.\n\n", pixels);
}

// --log: the n sinograms of input rows y0 .. just read (nx samples a row), as
// logarithms; a sample without one ends the run, as a failed read does.
void take_logarithms(const Run& run, int y0, int n, int nx, float* sinos) {
    const int rows = run.g.Ntilts;
    const int64_t bad = log_samples(sinos, (int64_t)n * rows * nx, *run.options.log_offset);
    if (bad < 0) return;
    const int64_t slice = bad / ((int64_t)rows * nx), t = bad / nx % rows;
    failf("Bad input for --log: section %d, row %d, column %d (numbered from 0) holds %g; v + OFFSET = %g must be "
          "positive and finite.\n\n",
          run.sections[(size_t)t], (int)(y0 + slice), (int)(bad % nx), (double)sinos[bad],
          (double)sinos[bad] + *run.options.log_offset);
}

// A one-sample detector has no interpolation interval: no pixel would ever count.
void check_projection_width(int nx) {
    if (nx < 2) failf("Image width not acceptable: NX %d (at least 2 samples are needed).\n\n", nx);
}

// A binned stack still needs two samples per row and one row.
void check_binned_size(const Binning& b) {
    if (b.nx < 2 || b.ny < 1)
        failf("Bad --bin value \"%d\": the binned stack would be %d x %d pixels; at least 2 x 1 are needed.\n\n",
              b.n, b.nx, b.ny);
}

// The sums are taken in single precision, as the angles are; one that is no
// longer a finite number is refused, as it would be in a tilt file.
void add_angle_offset(a* tilts, int Ntilts, double offset_deg) {
    if (offset_deg == 0) return;
    for (int t = 0; t < Ntilts; ++t) {
        const float angle = tilts[t].angle_deg;
        tilts[t] = tilt_record((float)((double)angle + offset_deg));
        if (!std::isfinite(tilts[t].angle_deg) || !std::isfinite(tilts[t].cos_a) || !std::isfinite(tilts[t].sin_a))
            failf("Bad --offset value: DELANG %g makes the tilt angle %g not finite.\n\n", offset_deg, (double)angle);
    }
}

// The binned stack, the slices, the views used, the output's width and
// thickness (in binned pixels) and the geometry of the slices reconstructed
// (with --xaxis-tilt the thicker untilted ones).
void plan_sizes(Run* run, const MrcHeader& in) {
    const RunOptions& options = run->options;
    run->binning = binning_of(in.nx, in.ny, options.alignment.bin);
    const Binning& b = run->binning;
    check_binned_size(b);
    run->range = slices_of_stack(options.slices ? &*options.slices : nullptr, b.ny);
    // The views used: every section of the stack unless some are excluded.
    run->sections = sections_used(in.nz, options.exclude);
    run->lengths = binned_lengths(options, b);
    const BinnedLengths& l = run->lengths;
    run->xtilt = xtilt_plan(options.alignment.xaxis_tilt, b.ny, l.width, l.thickness);
    run->g = make_geometry(b.nx, (int)run->sections.size(), l.width, run->xtilt.source_thickness,
                           slice_count(run->range));
    check_slice_size(run->g.reconsX, run->g.reconsY);
}

// What the method's plan needs of the options.
MethodOptions method_options_of(const RunOptions& o) {
    MethodOptions m = method_options(o.sirt, o.symmetry_level, o.iterations);
    m.sirt_like = o.sirt_like;
    m.radial = o.radial;
    return m;
}

// The source stage: n sinograms from input rows y0 .. of the file or the
// array, binned as the run sees the stack; --log on the rows of a binned read
// as they are read (`logs`).
SinogramsRead read_sinograms(const Run& run, int y0, int n, float* sinos, const RowsHook& logs) {
    if (run.array) {
        array_read_sinograms(*run.array, run.binning, y0, n, run.sections, sinos, logs);
        return {n, -1};
    }
    if (run.binning.n > 1) {
        image_read_binned_sinograms(run.input, run.stack.get(), run.binning, y0, n, run.sections, sinos, logs);
        return {n, -1};
    }
    return image_read_sinograms(run.input, run.stack.get(), y0, n, run.sections, sinos);
}

// The output stage: n slices as the output's format writes them (a sink of
// floats has the identity format), with the statistics (and clamped samples) of each.
void convert_slices(const Run& run, int n, float* recons, VolumeStats* stats) {
    const size_t floats = (size_t)run.g.reconsX * run.g.reconsY;
    format_slices_with_stats(recons, (int64_t)floats, n, run.options.output, stats);
}

}  // namespace

void run_plan(Run* run) {
    const RunOptions& options = run->options;
    const Alignment& al = options.alignment;
    run->stack = image_new();
    if (run->array)
        array_stack_header(*run->array, run->stack.get());
    else
        run->input = image_open_stack(options.input_file.c_str(), run->stack.get());
    const MrcHeader& in = *run->stack->header;
    check_projection_width(in.nx);
    plan_sizes(run, in);
    const Geometry& g = run->g;
    run->tilts = run->array ? array_tilt_angles(*run->array, run->sections)
                            : read_tilt_angles(options.tilt_file.c_str(), in.nz, run->sections);
    add_angle_offset(run->tilts.get(), g.Ntilts, al.angle_offset);
    // Beside the method's: the window of untilted slices, the input rows of a binned row.
    run->extra_host_mb = xtilt_window_mb(run->xtilt) + binned_read_mb(run->binning, in.nx, g.Ntilts);
}

void run_prepare(Run* run, int processes_on_host) {
    const RunOptions& options = run->options;
    const Geometry& g = run->g;
    RunMemory need = run_memory_need(options.sirt, options.symmetry_level, g, options.sirt_like > 0);
    need.host_mb += run->extra_host_mb;
    check_run_memory(need, !gpu_cuda_available(), host_available_memory_mb() / processes_on_host);
    run->slice = image_new_zeroed(run->xtilt.width, run->xtilt.thickness);
    // The plan builds its filter; rows too long for one are refused here, before the output is opened.
    weighting_check_row_length(g.sinoX);
    const BinnedLengths& l = run->lengths;
    run->shift = detector_shift_setup(run->tilts.get(), g.Ntilts, g.sinoX, l.axis_offset, l.shift_x, l.shift_z);
    run->spacing = binned_spacing(input_spacing(*run->stack->header), run->binning);
}

void run_build_method(Run* run, const GpuDevice& device, bool warn) {
    MethodOptions options = method_options_of(run->options);
    options.warn = warn;
    run->method = plan_method(options, run->g, run->tilts.get(), device);
}

std::vector<VolumeStats> run_slices(Run* run, const SliceRange& slab, const SliceWriter& write, int progress_total) {
    const int count = slice_count(slab);
    const Geometry& g = run->g;
    const size_t sino_floats = (size_t)g.sinoX * g.Ntilts, slice_floats = (size_t)g.reconsX * g.reconsY;
    std::vector<VolumeStats> stats(count > 0 ? (size_t)count : 0);
    int reconstructed = 0, written = 0;
    // --log with --bin: the input rows as read, before their blocks are averaged.
    RowsHook logs;
    if (run->options.log_offset)
        logs = [&](int y, int n, float* rows) { take_logarithms(*run, y, n, run->stack->nx, rows); };
    SliceSteps steps;
    steps.read = [&](int first, int n, float* sinos) {
        const int y0 = slab.first + first;
        const SinogramsRead got = read_sinograms(*run, y0, n, sinos, logs);
        for (int i = 0; i < n; ++i) {
            if (progress_total > 0) {
                printf("**Slice: %4d / %d\r", (int)((int64_t)(first + i + 1) * progress_total / count), progress_total);
                fflush(stdout);
            }
            if (i == got.whole) image_read_failed(run->stack.get(), y0 + i, got.section);
        }
        if (run->options.log_offset && run->binning.n == 1) take_logarithms(*run, y0, n, run->stack->nx, sinos);
        detector_shift_rows(run->shift, sinos, n, g.Ntilts);
        execute_weighting(run->method, sinos, n);
    };
    // The statistics of each slice on the worker, which has time to spare
    // beside the products, while this thread reads and writes.
    steps.reconstruct = [&](int n, float* sinos, float* recons) {
        execute_products(run->method, sinos, recons, n);
        // Untilted slices of --xaxis-tilt are not output: their window converts
        // the output slices and keeps the statistics.
        if (!run->xtilt.active) convert_slices(*run, n, recons, stats.data() + reconstructed);
        reconstructed += n;
    };
    steps.write = [&](int n, const float* recons) {
        write(slab.first + written, n, recons);
        written += n;
        if (run->after_batch) run->after_batch(written, count);
    };
    if (run->slice_destination && !run->xtilt.active)
        steps.destination = [&](int first, int n) { return run->slice_destination(slab.first + first, n); };
    run_slice_pipeline(count, plan_batch_size(run->method, run->options.batch), sino_floats, slice_floats, steps);
    return stats;
}

std::vector<VolumeStats> run_output_slices(Run* run, const SliceRange& slab, const SliceWriter& write,
                                           int progress_total) {
    if (!run->xtilt.active) return run_slices(run, slab, write, progress_total);
    XTiltWindow window =
        xtilt_window(run->xtilt, slab, run->options.output, [&](int y, const float* values) { write(y, 1, values); });
    const size_t floats = (size_t)run->g.reconsX * run->g.reconsY;
    const SliceWriter add = [&](int u, int count, const float* values) {
        for (int i = 0; i < count; ++i) xtilt_window_add(&window, u + i, values + i * floats);
    };
    run_slices(run, xtilt_sources(run->xtilt, slab), add, progress_total);
    return std::move(window.stats);
}

void run_free_method(Run* run) {
    free(run->method);  // once: whoever releases the run next finds it freed
}

void run_complete_header(Run* run, const VolumeStats& stats) {
    complete_output_header(run->slice->header.get(), run->xtilt.width, run->xtilt.thickness, slice_count(run->range), stats,
                           run->spacing, run->range.first);
    if (run->options.rotx) rotate_output_header_x(run->slice->header.get());
}

OutputLayout run_output_layout(const Run& run) {
    return {run.xtilt.width, run.xtilt.thickness, run.range.first, slice_count(run.range), run.options.output.mode,
            run.options.rotx};
}

void run_report_clamped(const Run& run, const VolumeStats& stats) {
    if (stats.clamped == 0) return;
    const int mode = run.options.output.mode;
    const ModeRange range = output_mode_range(mode);
    fprintf(stderr, "Warning: %lld of %lld samples clamped to the range of MODE %d, %g to %g.\n",
            (long long)stats.clamped, (long long)stats.count, mode, range.lo, range.hi);
}

void run_release(Run* run) {
    run_free_method(run);  // a run that failed part way still holds its plan
    if (run->input) fclose(run->input);
    run->input = nullptr;
    detector_shift_free(&run->shift);
    run->slice.reset();
    run->stack.reset();
    run->tilts.reset();
}
