#include "io/binned_read.h"

#include <algorithm>

Binning binning_of(int input_nx, int input_ny, int n) {
    Binning b;
    b.n = std::max(n, 1);
    b.nx = input_nx / b.n;
    b.ny = input_ny / b.n;
    b.x0 = (input_nx - b.nx * b.n) / 2;
    b.y0 = (input_ny - b.ny * b.n) / 2;
    return b;
}

double binned_read_mb(const Binning& b, int input_nx, int tilts) {
    // The N rows as floats and as read (at most 4 bytes a sample).
    return b.n > 1 ? 4.0 * b.n * ((double)tilts + 1) * input_nx / 1048576.0 : 0.0;
}

namespace {

// One binned sinogram from the n input sinograms in rows (n x tilts x input_nx).
void average_blocks(const float* rows, const Binning& b, int tilts, int input_nx, float* out) {
    const double inv = 1.0 / ((double)b.n * b.n);
    for (int t = 0; t < tilts; ++t) {
        float* binned = out + (size_t)t * b.nx;
        for (int c = 0; c < b.nx; ++c) {
            double sum = 0;
            for (int dy = 0; dy < b.n; ++dy) {
                const float* row = rows + ((size_t)dy * tilts + t) * input_nx + b.x0 + (size_t)c * b.n;
                for (int dx = 0; dx < b.n; ++dx) sum += row[dx];
            }
            binned[c] = (float)(sum * inv);
        }
    }
}

}  // namespace

void image_read_binned_sinograms(FILE* file, const Image* stack, const Binning& b, int y0, int count,
                                 const std::vector<int>& sections, float* out, const RowsHook& hook) {
    const int tilts = (int)sections.size();
    std::vector<float> rows((size_t)b.n * tilts * stack->nx);
    for (int i = 0; i < count; ++i) {
        const int first_row = b.y0 + (y0 + i) * b.n;
        const SinogramsRead got = image_read_sinograms(file, stack, first_row, b.n, sections, rows.data());
        if (got.whole < b.n) image_read_failed(stack, first_row + got.whole, got.section);
        if (hook) hook(first_row, b.n, rows.data());
        average_blocks(rows.data(), b, tilts, stack->nx, out + (size_t)i * tilts * b.nx);
    }
}
