#include "driver/run.h"

#include <cstdint>
#include <cstdio>

#include "driver/options.h"
#include "driver/output_header.h"
#include "driver/same_file.h"
#include "driver/volume_stats.h"
#include "gpu/gpu_layer.h"
#include "gpu/wg.h"
#include "io/fail.h"
#include "io/image.h"
#include "io/tilt_angles.h"
#include "weighting/weighting.h"

namespace {

// Sizes of one run, named as the methods name them.
struct Geometry {
    int sinoX, Ntilts, reconsX, reconsY, slices;
};

// The methods count slice pixels in 32-bit integers.
void check_slice_size(int nx, int thickness) {
    const long long pixels = (long long)nx * thickness;
    if (pixels > INT32_MAX)
        failf("Slice too large: NX * thickness = %lld pixels, at most 2147483647 supported.\n\n", pixels);
}

void setup_method(const RunOptions& options, const a* tilts, const Geometry& g) {
    if (options.sirt) {
        sirt_setup(tilts, g.sinoX, g.Ntilts, g.reconsX, g.reconsY, g.Ntilts);
        return;
    }
    switch (options.symmetry_level) {
        case 0: wbp_setup_sym0(tilts, g.sinoX, g.Ntilts, g.reconsX, g.reconsY, g.Ntilts); break;
        case 1: wbp_setup_sym1(tilts, g.sinoX, g.Ntilts, g.reconsX, g.reconsY, g.Ntilts); break;
        case 2: wbp_setup_sym2(tilts, g.sinoX, g.Ntilts, g.reconsX, g.reconsY, g.Ntilts); break;
        default: wbp_setup_sym3(tilts, g.sinoX, g.Ntilts, g.reconsX, g.reconsY, g.Ntilts); break;
    }
}

// Fills every value of the slice from the sinogram (weighted in place for WBP).
void reconstruct_slice(const RunOptions& options, Image* sinogram, Image* slice, const Geometry& g) {
    float* recons = slice->data[0][0];
    const float* sino = sinogram->data[0][0];
    if (options.sirt) {
        sirt_reconstruct_slice(recons, sino, g.sinoX, g.Ntilts, g.reconsX, g.reconsY, options.iterations);
        return;
    }
    weighting_apply(sinogram);
    switch (options.symmetry_level) {
        case 0: wbp_product_sym0(recons, sino, g.sinoX, g.Ntilts, g.reconsX, g.reconsY); break;
        case 1: wbp_product_sym1(recons, sino, g.sinoX, g.Ntilts, g.reconsX, g.reconsY, g.Ntilts); break;
        case 2: wbp_product_sym2(recons, sino, g.sinoX, g.Ntilts, g.reconsX, g.reconsY, g.Ntilts); break;
        default: wbp_product_sym3(recons, sino, g.sinoX, g.Ntilts, g.reconsX, g.reconsY, g.Ntilts); break;
    }
}

void free_method(const RunOptions& options) {
    if (options.sirt)
        sirt_free();
    else
        wbp_free();
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
    // The views used: every section of the stack unless some are excluded.
    const std::vector<int> sections = sections_used(in.nz, options.exclude);
    const Geometry g{in.nx, (int)sections.size(), in.nx, options.thickness_given ? options.thickness : in.nx, in.ny};
    check_slice_size(g.reconsX, g.reconsY);
    a* tilts = read_tilt_angles(options.tilt_file.c_str(), in.nz, sections);
    Image* sinogram = image_new_zeroed(g.sinoX, g.Ntilts);
    Image* slice = image_new_zeroed(g.reconsX, g.reconsY);
    weighting_setup(g.sinoX, g.Ntilts, options.radial ? &*options.radial : nullptr);

    // Provisional header: one section, zero statistics, until the run completes.
    FILE* output = open_output(options, input);
    const InputSpacing spacing = input_spacing(in);
    image_header_from(slice);
    set_output_cell(slice->header, spacing);
    image_write_header(output, slice);

    gpu_select_device(options.gpu);
    setup_method(options, tilts, g);

    VolumeStats stats;
    for (int y = 0; y < g.slices; ++y) {
        printf("**Slice: %4d / %d\r", y + 1, g.slices);
        fflush(stdout);
        image_read_sinogram(input, stack, sinogram, y, sections);
        reconstruct_slice(options, sinogram, slice, g);
        image_write_slice(output, slice);
        volume_stats_add(&stats, slice->data[0][0], (int64_t)g.reconsX * g.reconsY);
    }
    free_method(options);

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
