#include "driver/run.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "driver/estimate.h"
#include "driver/options.h"
#include "driver/output_file.h"
#include "driver/output_header.h"
#include "driver/run_memory.h"
#include "driver/same_file.h"
#include "driver/slice_pipeline.h"
#include "driver/volume_stats.h"
#include "gpu/gpu_layer.h"
#include "io/fail.h"
#include "io/image.h"
#include "io/tilt_angles.h"
#include "method/geometry.h"
#include "method/method.h"
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

OutputFile open_output(const RunOptions& options, FILE* input) {
    refuse_output_over_inputs(options.output_file.c_str(), input, options.tilt_file.c_str());
    refuse_output_on_std_streams(options.output_file.c_str());
    return output_file_open(options.output_file.c_str());
}

}  // namespace

int skarbel_main(int argc, char** argv) {
    const RunOptions options = parse_options(argc, argv);
    if (!options.estimate) print_method_line(options);

    Image* stack = image_new();
    FILE* input = image_open_stack(options.input_file.c_str(), stack);
    const MrcHeader& in = *stack->header;
    check_projection_width(in.nx);
    // The views used: every section of the stack unless some are excluded.
    const std::vector<int> sections = sections_used(in.nz, options.exclude);
    const int thickness = options.thickness_given ? options.thickness : in.nx;
    const Geometry g = make_geometry(in.nx, (int)sections.size(), in.nx, thickness, in.ny);
    check_slice_size(g.reconsX, g.reconsY);
    a* tilts = read_tilt_angles(options.tilt_file.c_str(), in.nz, sections);
    if (options.estimate) {
        print_estimate(options, input, tilts, g);
        fclose(input);
        image_free(stack);
        delete[] tilts;
        return 0;
    }
    check_run_memory(run_memory_need(options.sirt, options.symmetry_level, g),
                     !gpu_cuda_available(), host_available_memory_mb());
    Image* sinogram = image_new_zeroed(g.sinoX, g.Ntilts);
    Image* slice = image_new_zeroed(g.reconsX, g.reconsY);
    weighting_setup(g.sinoX, g.Ntilts, options.radial ? &*options.radial : nullptr);

    // Provisional header: one section, zero statistics, until the run completes.
    OutputFile out = open_output(options, input);
    FILE* output = out.file;
    const InputSpacing spacing = input_spacing(in);
    image_header_from(slice);
    set_output_cell(slice->header, spacing);
    image_write_header(output, slice);

    gpu_select_device(options.gpu);
    const Method method = method_setup(options.sirt, options.symmetry_level, options.iterations, tilts, g);

    VolumeStats stats;
    const size_t sino_floats = (size_t)g.sinoX * g.Ntilts, slice_floats = (size_t)g.reconsX * g.reconsY;
    SliceSteps steps;
    steps.read = [&](int first, int count, float* sinos) {
        for (int i = 0; i < count; ++i) {
            printf("**Slice: %4d / %d\r", first + i + 1, g.slices);
            fflush(stdout);
            image_read_sinogram(input, stack, sinogram, first + i, sections);
            std::memcpy(sinos + i * sino_floats, sinogram->data[0][0], sino_floats * sizeof(float));
        }
        method_weight(method, sinos, count);
    };
    // The statistics take the slices in order on the worker, which has time
    // to spare beside the products, while this thread reads and writes.
    steps.reconstruct = [&](int count, float* sinos, float* recons) {
        method_products(method, recons, sinos, count);
        for (int i = 0; i < count; ++i) volume_stats_add(&stats, recons + i * slice_floats, (int64_t)slice_floats);
    };
    steps.write = [&](int count, const float* recons) {
        for (int i = 0; i < count; ++i) {
            std::memcpy(slice->data[0][0], recons + i * slice_floats, slice_floats * sizeof(float));
            image_write_slice(output, slice);
        }
    };
    run_slice_pipeline(g.slices, method_batch_size(method, options.batch), sino_floats, slice_floats, steps);
    method_free(method);

    complete_output_header(slice->header, g.reconsX, g.reconsY, g.slices, stats, spacing);
    image_write_header(output, slice);
    puts("\n");

    fclose(input);
    output_file_commit(&out);
    weighting_teardown();
    image_free(sinogram);
    image_free(slice);
    image_free(stack);
    delete[] tilts;
    return 0;
}
