#include "driver/position_preview.h"

#include <algorithm>

#include "driver/position_surfaces.h"
#include "driver/run.h"
#include "driver/run_steps.h"
#include "io/tilt_angles.h"

namespace {

constexpr int kBands = 5, kBandSlices = 24;

// The user's run reduced to what the preview needs: a plain WBP of the whole
// search range at the preview's bin (the bands, as floats, are the sink's).
RunOptions preview_options(const RunOptions& user, int bin) {
    RunOptions o = user;
    o.sirt = false;
    o.sirt_like = 0;
    if (user.sirt) o.symmetry_level = 2;
    o.alignment.bin = bin;
    o.alignment.width = 0;
    o.alignment.xaxis_tilt = 0;
    o.slices.reset();
    o.estimate = false;
    o.position = false;
    o.position_only = false;
    return o;
}

// First row of band b of `slices` rows among `rows`: centres spread evenly.
int band_first(int b, int rows, int slices) {
    const int centre = (int)((b + 0.5) * rows / kBands);
    return std::clamp(centre - slices / 2, 0, std::max(0, rows - slices));
}

}  // namespace

std::vector<float> ray_coverage(const a* tilts, int ntilts, const std::vector<double>& shifts, int detector_width,
                                int width, int thickness) {
    std::vector<int> rays((size_t)width * thickness, 0);
    const double x0 = 0.5 * (width - 1), z0 = 0.5 * (thickness - 1), u0 = 0.5 * (detector_width - 1);
    for (int t = 0; t < ntilts; ++t) {
        const double cs = tilts[t].cos_a, sn = tilts[t].sin_a, s = shifts.empty() ? 0.0 : shifts[(size_t)t];
        for (int j = 0; j < thickness; ++j)
            for (int i = 0; i < width; ++i) {
                // Pixel (x, z) takes the detector's value at x cos - z sin, moved by the tilt's shift.
                const double u = cs * (i - x0) - sn * (j - z0) + u0 + s;
                if (u >= -0.5 && u <= detector_width - 0.5) ++rays[(size_t)j * width + i];
            }
    }
    std::vector<float> c(rays.size(), 0.0f);
    for (size_t k = 0; k < c.size() && ntilts > 0; ++k) c[k] = (float)rays[k] / (float)ntilts;
    return c;
}

PreviewBands preview_bands(const RunOptions& user, const ArrayStack* array, int bin) {
    PreviewBands p;
    std::vector<SliceRange> bands;
    RunSink sink;
    sink.warn = false;
    sink.converts = false;
    sink.open = [&](Run& run) {
        const Binning& b = run.binning;
        p.bin = b.n;
        p.width = run.g.reconsX;
        p.thickness = run.g.reconsY;
        p.band_slices = std::min(kBandSlices, b.ny);
        p.texture.assign((size_t)p.width * p.thickness * kBands, 0.0);
        p.coverage = ray_coverage(run.tilts.get(), run.g.Ntilts, run.shift.shifts, run.g.sinoX, p.width, p.thickness);
        for (int band = 0; band < kBands; ++band) {
            const int first = band_first(band, b.ny, p.band_slices);
            bands.push_back({first, first + p.band_slices - 1});
            // Binned row r covers stack rows y0 + r*n .. ; its centre from the stack's middle row.
            const double mid = b.y0 + (first + 0.5 * p.band_slices) * b.n - 0.5;
            p.band_y.push_back(mid - 0.5 * (run.stack->ny - 1));
        }
    };
    sink.slabs = [&](const Run&) { return bands; };
    // The slices of a band come in order, so each band's sums are the same at any thread count.
    TextureScratch scratch;
    sink.write = [&](int band, int, int count, const float* values) {
        const size_t floats = (size_t)p.width * p.thickness;
        double* sum = p.texture.data() + (size_t)band * floats;
        for (int k = 0; k < count; ++k) add_texture(values + k * floats, p.width, p.thickness, &scratch, sum);
    };
    run(preview_options(user, bin), RunSource{array}, sink);
    return p;
}
