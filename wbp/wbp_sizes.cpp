#include "wbp/wbp_sizes.h"

#include <climits>
#include <cmath>

#include "gpu/gpu_layer.h"
#include "io/fail.h"
#include "wbp/wbp_levels.h"

namespace {

bool fits_32(long long n) { return n <= INT_MAX; }

}  // namespace

WbpSizes wbp_sizes(int level, const Geometry& g) {
    const int sinoX = g.sinoX, sinoY = g.Ntilts, reconsX = g.reconsX, reconsY = g.reconsY, Ntilts = g.Ntilts;
    WbpSizes s{};
    s.level = level;
    const WbpLevel& L = wbp_level(level);
    s.rows = wbp_level_rows(level, reconsY);
    s.npix = (long long)reconsX * reconsY;
    s.nRows = (long long)reconsX * s.rows;
    s.capacity = wbp_level_capacity(level, Ntilts);
    s.entries = s.capacity * s.nRows;
    s.sino_elems = (long long)sinoX * sinoY;
    const double entry_arrays = L.mirror_columns ? 3 : 2;  // weights, columns, mirrored columns
    const double row_arrays = L.mirror_rows ? 3 : 1;        // lengths, depth and side mirrors
    s.bytes = 4.0 * (double)s.npix + 4.0 * (double)s.sino_elems + 20.0 * sinoY +
              4.0 * entry_arrays * (double)s.entries + 4.0 * row_arrays * (double)s.nRows;
    s.required_mb = (float)(s.bytes / 1048576.0);
    return s;
}

bool wbp_counts_fit_32(const WbpSizes& s, int sinoX, int Ntilts) {
    return fits_32(s.npix) && fits_32(s.sino_elems) && fits_32(s.entries) &&
           fits_32(wbp_level_largest_index(s.level, sinoX, Ntilts));
}

WbpSizes wbp_check_sizes(int level, const Geometry& g, float memory_mb) {
    const int sinoX = g.sinoX, sinoY = g.Ntilts, reconsX = g.reconsX, reconsY = g.reconsY, Ntilts = g.Ntilts;
    if (Ntilts <= 0) fail("WBP: the tilt series holds no projections; at least one tilt is needed\n");
    const WbpSizes s = wbp_sizes(level, g);
    if (!fits_32(s.npix) || !fits_32(s.sino_elems) || !fits_32(wbp_level_largest_index(level, sinoX, Ntilts)))
        failf("WBP: a slice of %d x %d pixels or a sinogram of %d x %d samples is beyond 32-bit element counts\n",
              reconsX, reconsY, sinoX, sinoY);
    if (!fits_32(s.entries)) {
        for (int higher = level + 1; higher <= 3; ++higher) {
            const WbpSizes h = wbp_sizes(higher, g);
            if (wbp_counts_fit_32(h, sinoX, Ntilts))
                failf("WBP symmetry level %d: the matrix needs %lld elements, beyond 32-bit element counts; "
                      "use a higher symmetry level (-s%d)\n",
                      level, s.entries, higher);
        }
        failf("WBP symmetry level %d: the matrix needs %lld elements, beyond 32-bit element counts; "
              "use a thinner slice or narrower projections\n",
              level, s.entries);
    }
    gpu_check_memory(s.required_mb, memory_mb, "wbp");
    return s;
}

bool wbp_tilts_symmetric(const a* tangles, int Ntilts) {
    for (int t = 1; t < Ntilts; ++t)
        if (std::fabs((double)tangles[Ntilts - t].angle_deg + (double)tangles[t].angle_deg) > 1e-3) return false;
    return true;
}
