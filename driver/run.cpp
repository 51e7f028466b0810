#include "driver/run.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "driver/estimate.h"
#include "driver/run_memory.h"
#include "driver/run_steps.h"
#include "driver/same_file.h"
#include "driver/slice_pipeline.h"
#include "gpu/gpu_layer.h"
#include "io/fail.h"
#include "method/detector_shift.h"
#include "weighting/sirt_like_filter.h"
#include "weighting/weighting.h"

namespace {

// The methods count slice pixels in 32-bit integers.
void check_slice_size(int nx, int thickness) {
    const long long pixels = (long long)nx * thickness;
    if (pixels > INT32_MAX)
        failf("Slice too large: NX * thickness = %lld pixels, at most 2147483647 supported.\n\n", pixels);
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

// A length the user gave in stack pixels, in binned pixels: rounded, at least 1.
int binned_length(int pixels, int n) {
    return n == 1 ? pixels : std::max(1, (int)std::lround((double)pixels / n));
}

void add_angle_offset(a* tilts, int Ntilts, double offset_deg) {
    if (offset_deg == 0) return;
    for (int t = 0; t < Ntilts; ++t) tilts[t] = tilt_record((float)((double)tilts[t].angle_deg + offset_deg));
}

// The output's voxels are N input pixels on a side.
InputSpacing binned_spacing(InputSpacing s, int n) {
    s.x *= n;
    s.y *= n;
    return s;
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
    const int thickness = options.thickness_given ? binned_length(options.thickness, b.n) : b.nx;
    const int width = options.alignment.width > 0 ? binned_length(options.alignment.width, b.n) : b.nx;
    run->xtilt = xtilt_plan(options.alignment.xaxis_tilt, b.ny, width, thickness);
    run->g = make_geometry(b.nx, (int)run->sections.size(), width, run->xtilt.source_thickness,
                           slice_count(run->range));
    check_slice_size(run->g.reconsX, run->g.reconsY);
}

// The ramp, or with --sirt-like the per-tilt filter for this run's tilts and thickness.
void set_up_weighting(const RunOptions& options, const a* tilts, const Geometry& g) {
    const RadialTaper* radial = options.radial ? &*options.radial : nullptr;
    if (options.sirt_like > 0)
        weighting_setup_gains(g.sinoX, g.Ntilts,
                              sirt_like_gains(tilts, g.Ntilts, g.reconsY, weighting_choose_fft_size(g.sinoX),
                                              options.sirt_like, radial));
    else
        weighting_setup(g.sinoX, g.Ntilts, radial);
}

}  // namespace

bool run_start(Run* run, int argc, char** argv, bool lead, int processes_on_host) {
    run->options = parse_options(argc, argv);
    const RunOptions& options = run->options;
    const Alignment& al = options.alignment;
    if (lead && !options.estimate) print_method_line(options);

    run->stack = image_new();
    run->input = image_open_stack(options.input_file.c_str(), run->stack);
    const MrcHeader& in = *run->stack->header;
    check_projection_width(in.nx);
    plan_sizes(run, in);
    const Binning& b = run->binning;
    const Geometry& g = run->g;
    run->tilts = read_tilt_angles(options.tilt_file.c_str(), in.nz, run->sections);
    add_angle_offset(run->tilts, g.Ntilts, al.angle_offset);
    // Beside the method's: the window of untilted slices, the input rows of a binned row.
    const double extra_mb = xtilt_window_mb(run->xtilt) + binned_read_mb(b, in.nx, g.Ntilts);
    if (options.estimate) {
        print_estimate(options, run->input, run->tilts, g,
                       {1024 + 4LL * (long long)run_section_floats(*run) * slice_count(run->range), extra_mb});
        fclose(run->input);
        image_free(run->stack);
        delete[] run->tilts;
        return false;
    }
    RunMemory need = run_memory_need(options.sirt, options.symmetry_level, g, options.sirt_like > 0);
    need.host_mb += extra_mb;
    check_run_memory(need, !gpu_cuda_available(), host_available_memory_mb() / processes_on_host);
    run->slice = image_new_zeroed(run->xtilt.width, run->xtilt.thickness);
    set_up_weighting(options, run->tilts, g);
    run->shift = detector_shift_setup(run->tilts, g.Ntilts, g.sinoX, al.axis_offset / b.n, al.shift_x / b.n,
                                      al.shift_z / b.n);
    run->spacing = binned_spacing(input_spacing(in), b.n);
    return true;
}

OutputFile run_open_output(Run* run) {
    const RunOptions& options = run->options;
    refuse_output_over_inputs(options.output_file.c_str(), run->input, options.tilt_file.c_str());
    refuse_output_on_std_streams(options.output_file.c_str());
    OutputFile out = output_file_open(options.output_file.c_str());
    // Provisional header: one section, zero statistics, until the run completes.
    image_header_from(run->slice);
    set_output_cell(run->slice->header, run->spacing);
    image_write_header(out.file, run->slice);
    return out;
}

void run_set_up_method(Run* run, int gpu, bool lead) {
    gpu_select_device(gpu, lead);
    run_build_method(run);
}

void run_build_method(Run* run) {
    const RunOptions& o = run->options;
    run->method = method_setup(o.sirt, o.symmetry_level, o.iterations, run->tilts, run->g);
}

std::vector<VolumeStats> run_slices(Run* run, const SliceRange& slab, const SliceWriter& write, int progress_total) {
    const int count = slice_count(slab);
    const Geometry& g = run->g;
    const size_t sino_floats = (size_t)g.sinoX * g.Ntilts, slice_floats = (size_t)g.reconsX * g.reconsY;
    std::vector<VolumeStats> stats(count > 0 ? (size_t)count : 0);
    int reconstructed = 0, written = 0;
    SliceSteps steps;
    steps.read = [&](int first, int n, float* sinos) {
        const int y0 = slab.first + first;
        SinogramsRead got{n, -1};
        if (run->binning.n > 1)
            image_read_binned_sinograms(run->input, run->stack, run->binning, y0, n, run->sections, sinos);
        else
            got = image_read_sinograms(run->input, run->stack, y0, n, run->sections, sinos);
        for (int i = 0; i < n; ++i) {
            if (progress_total > 0) {
                printf("**Slice: %4d / %d\r", (int)((int64_t)(first + i + 1) * progress_total / count), progress_total);
                fflush(stdout);
            }
            if (i == got.whole) image_read_failed(run->stack, y0 + i, got.section);
        }
        detector_shift_rows(run->shift, sinos, n, g.Ntilts);
        method_weight(run->method, sinos, n);
    };
    // The statistics of each slice on the worker, which has time to spare
    // beside the products, while this thread reads and writes.
    steps.reconstruct = [&](int n, float* sinos, float* recons) {
        method_products(run->method, recons, sinos, n);
        // Untilted slices of --xaxis-tilt are not output: their window keeps the statistics.
        if (!run->xtilt.active) volume_stats_of_slices(recons, (int64_t)slice_floats, n, stats.data() + reconstructed);
        reconstructed += n;
    };
    steps.write = [&](int n, const float* recons) {
        for (int i = 0; i < n; ++i) write(slab.first + written + i, recons + i * slice_floats);
        written += n;
    };
    run_slice_pipeline(count, method_batch_size(run->method, run->options.batch), sino_floats, slice_floats, steps);
    return stats;
}

std::vector<VolumeStats> run_output_slices(Run* run, const SliceRange& slab, const SliceWriter& write,
                                           int progress_total) {
    if (!run->xtilt.active) return run_slices(run, slab, write, progress_total);
    XTiltWindow window = xtilt_window(run->xtilt, slab, write);
    const SliceWriter add = [&](int u, const float* values) { xtilt_window_add(&window, u, values); };
    run_slices(run, xtilt_sources(run->xtilt, slab), add, progress_total);
    return std::move(window.stats);
}

void run_free_method(const Run& run) { method_free(run.method); }

void run_complete_header(Run* run, const VolumeStats& stats) {
    complete_output_header(run->slice->header, run->xtilt.width, run->xtilt.thickness, slice_count(run->range), stats,
                           run->spacing, run->range.first);
}

void run_release(Run* run) {
    fclose(run->input);
    detector_shift_free(&run->shift);  // before the weighting's teardown ends FFTW's planner state
    weighting_teardown();
    image_free(run->slice);
    image_free(run->stack);
    delete[] run->tilts;
}

int skarbel_main(int argc, char** argv) {
    Run run;
    if (!run_start(&run, argc, argv, true, 1)) return 0;
    OutputFile out = run_open_output(&run);
    run_set_up_method(&run, run.options.gpu, true);

    const SliceWriter append = [&](int, const float* values) {
        image_write_values(out.file, values, run_section_floats(run));
    };
    VolumeStats stats;
    for (const VolumeStats& s : run_output_slices(&run, run.range, append, slice_count(run.range)))
        volume_stats_merge(&stats, s);
    run_free_method(run);

    run_complete_header(&run, stats);
    image_write_header(out.file, run.slice);
    puts("\n");
    output_file_commit(&out);
    run_release(&run);
    return 0;
}
