#include "driver/run.h"

#include <cstdint>
#include <cstdio>

#include "driver/options.h"
#include "driver/output_header.h"
#include "driver/same_file.h"
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

FILE* open_output(const RunOptions& options, FILE* input) {
    refuse_output_over_inputs(options.output_file.c_str(), input, options.tilt_file.c_str());
    FILE* output = fopen(options.output_file.c_str(), "w+");
    if (!output) fail("Unable to open output file.\n\n");
    return output;
}

}  // namespace

int skarbel_main(int argc, char** argv) {
    const RunOptions options = parse_options(argc, argv);
    print_method_line(options);

    Image* stack = image_new();
    FILE* input = image_open_stack(options.input_file.c_str(), stack);
    const MrcHeader& in = *stack->header;
    const int thickness = options.thickness_given ? options.thickness : in.nx;
    const Geometry g = make_geometry(in.nx, in.nz, in.nx, thickness, in.ny);
    check_slice_size(g.reconsX, g.reconsY);
    a* tilts = read_tilt_angles(options.tilt_file.c_str(), g.Ntilts);
    Image* sinogram = image_new_zeroed(g.sinoX, g.Ntilts);
    Image* slice = image_new_zeroed(g.reconsX, g.reconsY);
    weighting_setup(g.sinoX, g.Ntilts);

    // Provisional header: one section, zero statistics, until the run completes.
    FILE* output = open_output(options, input);
    const InputSpacing spacing = input_spacing(in);
    image_header_from(slice);
    set_output_cell(slice->header, spacing);
    image_write_header(output, slice);

    gpu_select_device(options.gpu);
    const Method method = method_setup(options.sirt, options.symmetry_level, options.iterations, tilts, g);

    VolumeStats stats;
    for (int y = 0; y < g.slices; ++y) {
        printf("**Slice: %4d / %d\r", y + 1, g.slices);
        fflush(stdout);
        image_read_sinogram(input, stack, sinogram, y);
        method_reconstruct(method, slice->data[0][0], sinogram->data[0][0], 1);
        image_write_slice(output, slice);
        volume_stats_add(&stats, slice->data[0][0], (int64_t)g.reconsX * g.reconsY);
    }
    method_free(method);

    complete_output_header(slice->header, g.reconsX, g.reconsY, g.slices, stats, spacing);
    image_write_header(output, slice);
    puts("\n");

    fclose(input);
    if (fclose(output) != 0) fail("Error writing output file.\n\n");
    weighting_teardown();
    image_free(sinogram);
    image_free(slice);
    image_free(stack);
    delete[] tilts;
    return 0;
}
