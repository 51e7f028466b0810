#pragma once
// The SIRT set-up kernels as per-item functors, written once for both backends,
// and the row sums of the iteration's products (sirt_batch_kernel.h).
// operator() is the body of one GPU thread; host_run (sirt/sirt_kernel_host.cpp)
// is the host backend's faster form with the same results.
#include "gpu/gpu_layer.h"
#include "gpu/mirrored_pairs.h"
#include "io/tilt_angles.h"
#include "method/geometry.h"
#include "sirt/sirt_tiles.h"

// True when the lower interpolation sample c = trunc(p) satisfies 0 <= c < sinoX - 1.
// Written on p itself so that no out-of-range or NaN position is ever converted;
// a detector of fewer than two samples has no pair to interpolate between.
SK_HD inline bool sirt_in_range(float p, int sinoX) {
    return sinoX > 1 && p > -1.0f && p < (float)(sinoX - 1);
}

// The entry of tilt t for a pixel at position p in range: the weight 1 - f of
// sample c = trunc(p) (f = p - c), its column and the mirror pixel's column.
struct SirtEntry {
    float weight;
    int column, column2;
};

SK_HD inline SirtEntry sirt_entry(float p, int t, int sinoX) {
    const int c = (int)p;
    return {1.0f - (p - (float)c), c + t * sinoX, t * sinoX + (sinoX - 1 - c)};
}

// Half-slice system matrix: one entry per in-range tilt for every pixel of rows
// j < reconsY (the half rows), with the mirror sample of its point mirror.
// 2-D: j = gx, i = gy.
struct cu_SIRT_matrix {
    float* d_matrix;
    int* d_column;
    int* d_column2;
    int* d_length;
    const a* d_tangles;
    int Ntilts, reconsX, reconsY, sinoX, nRows;
    float w_2, r_2, h_2;
    int alignment_n;
    // The host layout (sirt_tiles.h); the item body writes the plain one.
    host_tiles::TileLayout tiles{};

    SK_HD void operator()(int j, int i) const {
        if (j >= reconsY || i >= reconsX || Ntilts == 0) return;
        const int r = reconsX * j + i;
        const float x = (float)i - w_2, z = (float)j - h_2;
        int k = 0;
        for (int t = 0; t < Ntilts; ++t) {
            const float p = detector_position(d_tangles[t], x, z, r_2);
            if (!sirt_in_range(p, sinoX)) continue;
            const SirtEntry v = sirt_entry(p, t, sinoX);
            const int e = r + k * alignment_n;
            d_matrix[e] = v.weight;
            d_column[e] = v.column;
            d_column2[e] = v.column2;
            d_length[r] += 1;
            ++k;
        }
    }
    void host_run(const LaunchShape& s) const;
};

struct SirtPlainAdd {
    SK_HD void operator()(float* p, float v) const { *p += v; }
};

// A superset [*lo, *hi] of the columns i of row z (centred) whose pixels project at
// a tilt with trunc(p) = k or k + 1: those have p in (k - 1, k + 2), so the exact line
// p = cos_a * x - z * sin_a + r_2 is solved for that interval, widened by more than
// the rounding of the single-precision position and by one column. Empty (lo > hi)
// when no pixel can qualify, as with non-finite angles, whose positions never do.
SK_HD inline void sirt_pixel_span(float cos_a, float sin_a, float z, float w_2, float r_2, int reconsX, int k,
                                  int* lo, int* hi) {
    *lo = 1;
    *hi = 0;
    const double c = cos_a, b = r_2 - (double)z * sin_a;
    if (c - c != 0.0 || b - b != 0.0) return;
    const double ac = c < 0.0 ? -c : c, zs = (double)z * sin_a, aw = w_2 < 0.0f ? -w_2 : w_2;
    const double size = ac * ((double)reconsX + aw) + (zs < 0.0 ? -zs : zs) + (r_2 < 0.0f ? -r_2 : r_2);
    const double slack = 1e-6 * size + 1e-6;
    const double plo = (double)k - 1.0 - slack, phi = (double)k + 2.0 + slack;
    double ilo = -1.0, ihi = (double)reconsX;  // c == 0: the whole row, or none
    if (c == 0.0) {
        if (b < plo || b > phi) return;
    } else {
        const double x1 = (plo - b) / c, x2 = (phi - b) / c;
        ilo = (x1 < x2 ? x1 : x2) + w_2;
        ihi = (x1 < x2 ? x2 : x1) + w_2;
    }
    if (ihi < -1.0 || ilo > (double)reconsX) return;
    if (ilo < -1.0) ilo = -1.0;
    if (ihi > (double)reconsX) ihi = (double)reconsX;
    *lo = (int)ilo - 1 < 0 ? 0 : (int)ilo - 1;
    *hi = (int)ihi + 1 > reconsX - 1 ? reconsX - 1 : (int)ihi + 1;
}

// Ray weights W: row t (the tilt) of the weights is the projection of an all-ones
// slice at tilt t, each pixel of the half rows standing for itself and, in rows
// j < mirror_rows, also for its point mirror. Odd thicknesses have one half row
// (the centre) beyond mirror_rows. Every sample sums its contributions in the order
// of the row form (add_row): pixel by pixel, rows then columns, and within a pixel
// the samples c, c + 1, then the mirrored ones. 2-D: sample c = gx, tilt t = gy; each
// item visits only the columns of each row whose pixels can reach its sample.
struct cu_SIRT_weights {
    float* d_weights;
    const a* d_tangles;
    int reconsX, reconsY, sinoX, nRows;
    float w_2, r_2, h_2;
    int mirror_rows;

    // The row form, one pass over the half slice per tilt (the host's form).
    template <class Add>
    SK_HD void add_row(int t, Add add) const {
        const a tilt = d_tangles[t];
        float* row = d_weights + t * sinoX;
        for (int j = 0; j < reconsY; ++j) {
            const float z = (float)j - h_2;
            for (int i = 0; i < reconsX; ++i) {
                const float p = detector_position(tilt, (float)i - w_2, z, r_2);
                if (!sirt_in_range(p, sinoX)) continue;
                const int c = (int)p;
                const float f = p - (float)c, w = 1.0f - f;
                add(row + c, w);
                add(row + c + 1, f);
                if (j < mirror_rows) {
                    add(row + (sinoX - 1 - c), w);
                    add(row + (sinoX - 2 - c), f);
                }
            }
        }
    }

    // Adds to s what the pixels lo..hi of row z give sample c, in the row form's order.
    SK_HD float add_span(float s, int c, const a& tilt, float z, bool mirrored, int lo, int hi) const {
        for (int i = lo; i <= hi; ++i) {
            const float p = detector_position(tilt, (float)i - w_2, z, r_2);
            if (!sirt_in_range(p, sinoX)) continue;
            const int pc = (int)p;
            const float f = p - (float)pc, w = 1.0f - f;
            if (pc == c) s = s + w;
            if (pc + 1 == c) s = s + f;
            if (mirrored && sinoX - 1 - pc == c) s = s + w;
            if (mirrored && sinoX - 2 - pc == c) s = s + f;
        }
        return s;
    }

    SK_HD void operator()(int c, int t) const {
        if (c >= sinoX || t >= nRows) return;
        const a tilt = d_tangles[t];
        const float cos_a = tilt.cos_a, sin_a = tilt.sin_a;
        float* e = d_weights + t * sinoX + c;
        float s = *e;
        for (int j = 0; j < reconsY; ++j) {
            const float z = (float)j - h_2;
            const bool mirrored = j < mirror_rows;
            int lo1, hi1, lo2 = 1, hi2 = 0;
            sirt_pixel_span(cos_a, sin_a, z, w_2, r_2, reconsX, c - 1, &lo1, &hi1);
            if (mirrored) sirt_pixel_span(cos_a, sin_a, z, w_2, r_2, reconsX, sinoX - 2 - c, &lo2, &hi2);
            // Each pixel once, in column order: the two spans merged when they meet.
            if (lo2 > hi2) {
                s = add_span(s, c, tilt, z, mirrored, lo1, hi1);
            } else if (lo1 > hi1) {
                s = add_span(s, c, tilt, z, mirrored, lo2, hi2);
            } else if (lo2 <= hi1 + 1 && lo1 <= hi2 + 1) {
                s = add_span(s, c, tilt, z, mirrored, lo1 < lo2 ? lo1 : lo2, hi1 > hi2 ? hi1 : hi2);
            } else {
                const bool first1 = lo1 < lo2;
                s = add_span(s, c, tilt, z, mirrored, first1 ? lo1 : lo2, first1 ? hi1 : hi2);
                s = add_span(s, c, tilt, z, mirrored, first1 ? lo2 : lo1, first1 ? hi2 : hi1);
            }
        }
        *e = s;
    }
    void host_run(const LaunchShape& s) const;
};

// Replaces every non-zero ray weight e by factor / e. 2-D: t = gx, c = gy.
struct cu_SIRT_invertweights {
    float* d_weights;
    int Ntilts, sinoX;
    float factor;

    SK_HD void operator()(int t, int c) const {
        if (t >= Ntilts || c >= sinoX) return;
        float* e = d_weights + t * sinoX + c;
        if (*e != 0.0f) *e = factor / *e;  // NaN is not equal to 0 either
    }
    void host_run(const LaunchShape& s) const;
};

// factor * |cos_a| / thickness, the scale of projection row t, as
// factor * (1 / |thickness / cos_a|).
SK_HD inline float sirt_tilt_scale(const a& tilt, int thickness, float factor) {
    const float q = (float)thickness / tilt.cos_a;
    return factor * (1.0f / (q < 0.0f ? -q : q));
}

// Sums of transposed row r (n entries, entry k at r + k * alignment) of the
// forward projection, from lane l of an interleaved batch of slices x (lanes =
// 1, l = 0: a single slice): s1 += v w and s2 += v (1 - w) for each pixel v.
SK_HD inline void sirt_gather_row(const float* matrix_t, const int* column_t, int r, int n, int alignment,
                                  const float* x, int lanes, int l, float& s1, float& s2) {
    for (int k = 0; k < n; ++k) {
        const int e = r + k * alignment;
        const float w = matrix_t[e];
        const float v = lane_sample(x, lanes, l, column_t[e]);
        s1 = s1 + v * w;
        s2 = s2 + v * (1.0f - w);
    }
}
