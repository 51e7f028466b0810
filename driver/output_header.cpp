#include "driver/output_header.h"

#include <cmath>
#include <utility>

InputSpacing input_spacing(const MrcHeader& input) {
    InputSpacing s;
    if (input.cella[0] > 0 && input.mx > 0) {
        s.has_x = true;
        s.x = (double)input.cella[0] / input.mx;
    }
    if (input.cella[1] > 0 && input.my > 0) {
        s.has_y = true;
        s.y = (double)input.cella[1] / input.my;
    }
    return s;
}

void set_output_cell(MrcHeader* output, const InputSpacing& spacing) {
    output->cella[0] = spacing.has_x ? (float)(spacing.x * output->mx) : 0.0f;
    output->cella[1] = spacing.has_x ? (float)(spacing.x * output->my) : 0.0f;
    output->cella[2] = spacing.has_y ? (float)(spacing.y * output->mz) : 0.0f;
}

void complete_output_header(MrcHeader* output, int nx, int thickness, int nslices, const VolumeStats& stats,
                            const InputSpacing& spacing, int first_slice) {
    output->nx = output->mx = nx;
    output->ny = output->my = thickness;
    output->nz = output->mz = nslices;
    output->nzstart = first_slice;
    set_output_cell(output, spacing);
    // A volume without a single number has no range: both become NaN.
    const bool has_range = stats.min <= stats.max;
    output->dmin = has_range ? stats.min : NAN;
    output->dmax = has_range ? stats.max : NAN;
    output->dmean = volume_stats_mean(stats);
    output->rms = volume_stats_rms(stats);
}

void rotate_output_header_x(MrcHeader* h) {
    std::swap(h->ny, h->nz);
    std::swap(h->my, h->mz);
    std::swap(h->cella[1], h->cella[2]);
    std::swap(h->origin[1], h->origin[2]);
    h->nystart = h->nzstart;
    h->nzstart = 0;
}
