#include "io/array_stack.h"

#include <cmath>
#include <cstring>

#include "io/fail.h"
#include "io/mrc_header.h"

void array_stack_header(const ArrayStack& stack, Image* image) {
    image->name = "array";
    mrc_fill_header(&image->header, stack.nx, stack.ny, stack.nz, 0, 0, 0);
    image->header->mode = 2;
    image->nx = stack.nx;
    image->ny = stack.ny;
    image->nz = stack.nz;
}

std::unique_ptr<a[]> array_tilt_angles(const ArrayStack& stack, const std::vector<int>& sections) {
    if ((int)stack.angles_deg.size() != stack.nz)
        failf("Tilt angles: %zu given for a stack of %d sections: one angle per section is needed.\n\n",
              stack.angles_deg.size(), stack.nz);
    for (size_t i = 0; i < stack.angles_deg.size(); ++i)
        if (!std::isfinite(stack.angles_deg[i])) failf("Tilt angle %zu is not finite.\n\n", i + 1);
    std::unique_ptr<a[]> records(new a[sections.size() > 0 ? sections.size() : 1]);
    for (size_t t = 0; t < sections.size(); ++t) records[t] = tilt_record((float)stack.angles_deg[(size_t)sections[t]]);
    return records;
}

namespace {

// Rows y0 .. y0 + count - 1 of every listed section, as count sinograms.
void copy_rows(const ArrayStack& stack, int y0, int count, const std::vector<int>& sections, float* out) {
    const size_t nx = (size_t)stack.nx, tilts = sections.size();
    for (size_t t = 0; t < tilts; ++t) {
        const float* section = stack.values + (size_t)sections[t] * stack.ny * nx;
        for (int i = 0; i < count; ++i)
            std::memcpy(out + ((size_t)i * tilts + t) * nx, section + (size_t)(y0 + i) * nx, nx * sizeof(float));
    }
}

}  // namespace

void array_read_sinograms(const ArrayStack& stack, const Binning& b, int y0, int count,
                          const std::vector<int>& sections, float* out, const RowsHook& hook) {
    if (b.n <= 1) {
        copy_rows(stack, y0, count, sections, out);
        return;
    }
    const int tilts = (int)sections.size();
    std::vector<float> rows((size_t)b.n * tilts * stack.nx);
    for (int i = 0; i < count; ++i) {
        const int first_row = b.y0 + (y0 + i) * b.n;
        copy_rows(stack, first_row, b.n, sections, rows.data());
        if (hook) hook(first_row, b.n, rows.data());
        binned_average_blocks(rows.data(), b, tilts, stack.nx, out + (size_t)i * tilts * b.nx);
    }
}
