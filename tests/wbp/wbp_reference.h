#pragma once
// Double-precision back-projection with no matrix, from p = cos_a * x - z * sin_a
// + r_2; per level the pixel derivations too, so the detector ends are checked.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "io/tilt_angles.h"
#include "support/tilts.h"

namespace wbp_ref {

inline std::vector<float> random_values(size_t n, uint32_t seed, float lo = -1.0f, float hi = 1.0f) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(lo, hi);
    std::vector<float> v(n);
    for (float& x : v) x = dist(gen);
    return v;
}

// Entry k of row r = j * cols + i in bands of th rows cut into tiles of tw columns, entry-major per tile.
struct Tiling {
    std::vector<size_t> pixel, entry0, stride;  // per row r: its place, its entry 0, its tile's pixels
    size_t at(int r, int k) const { return entry0[r] + (size_t)k * stride[r]; }
};

inline Tiling tiling(int rows, int cols, int th, int tw, int capacity) {
    const size_t n = (size_t)rows * cols;
    Tiling t{std::vector<size_t>(n), std::vector<size_t>(n), std::vector<size_t>(n)};
    size_t next = 0;
    for (int j0 = 0; j0 < rows; j0 += th)
        for (int i0 = 0; i0 < cols; i0 += tw) {
            const int h = std::min(th, rows - j0), w = std::min(tw, cols - i0);
            const size_t first = next;
            for (int j = j0; j < j0 + h; ++j)
                for (int i = i0; i < i0 + w; ++i) {
                    const size_t r = (size_t)j * cols + i;
                    t.pixel[r] = next;
                    t.entry0[r] = first * capacity + (next++ - first);
                    t.stride[r] = (size_t)h * w;
                }
        }
    return t;
}

struct Geometry {
    int sinoX, reconsX, thickness;
};

// Ambiguous: some p so near -1 or sinoX - 1 that float positions may decide otherwise.
struct Pixel {
    double sum = 0;
    bool ambiguous = false;
};

class Reference {
public:
    Reference(const Geometry& g, const std::vector<a>& tilts, const std::vector<float>& sino)
        : g_(g), tilts_(tilts), sino_(sino), n_((int)tilts.size()) {}

    double position(int t, int i, int j) const {
        const double x = i - (g_.reconsX - 1) * 0.5, z = j - (g_.thickness - 1) * 0.5;
        return (double)tilts_[t].cos_a * x - z * (double)tilts_[t].sin_a + (g_.sinoX - 1) * 0.5;
    }

    // Interpolation at p in sinogram row `row`, samples c and c + 1 (c = p truncated).
    void direct(int row, double p, Pixel& px) const {
        int c;
        double f;
        if (!cell(p, px, c, f)) return;
        px.sum += (1 - f) * sample(row, c) + f * sample(row, c + 1);
    }

    // At sinoX - 1 - q, read from the cell of q.
    void mirrored(int row, double q, Pixel& px) const {
        int c;
        double f;
        if (!cell(q, px, c, f)) return;
        px.sum += (1 - f) * sample(row, g_.sinoX - 1 - c) + f * sample(row, g_.sinoX - 2 - c);
    }

    // Level 0 and 1: every pixel from its own projections at every tilt.
    Pixel plain(int i, int j) const {
        Pixel px;
        for (int t = 0; t < n_; ++t) direct(t, position(t, i, j), px);
        return px;
    }

    // Level 2: lower rows from the projections of their point mirror.
    Pixel level2(int i, int j) const {
        if (!lower(j)) return plain(i, j);
        Pixel px;
        const int ti = g_.reconsX - 1 - i, tj = g_.thickness - 1 - j;
        for (int t = 0; t < n_; ++t) mirrored(t, position(t, ti, tj), px);
        return px;
    }

    // Level 3: tilts 0 .. Ntilts/2 as at level 2; partner Ntilts - t from tilt t's projection
    // of the side mirror (upper rows), the depth mirror (lower rows) or the pixel (centre row).
    Pixel level3(int i, int j) const {
        Pixel px;
        const int X = g_.reconsX - 1 - i, Z = g_.thickness - 1 - j;
        for (int t = 0; t <= n_ / 2; ++t) {
            if (lower(j)) mirrored(t, position(t, X, Z), px);
            else direct(t, position(t, i, j), px);
            const bool partner = t >= 1 && n_ - t != t;
            if (!partner) continue;
            if (centre(j)) direct(n_ - t, position(t, i, j), px);
            else if (lower(j)) direct(n_ - t, position(t, i, Z), px);
            else mirrored(n_ - t, position(t, X, j), px);
        }
        return px;
    }

    Pixel level(int lvl, int i, int j) const {
        if (lvl <= 1) return plain(i, j);
        return lvl == 2 ? level2(i, j) : level3(i, j);
    }

    // Every projection inside (0, sinoX - 1): every level gives the plain value.
    bool interior(int i, int j, double margin = 1e-3) const {
        for (int t = 0; t < n_; ++t) {
            const double p = position(t, i, j);
            if (!(p > margin && p < g_.sinoX - 1 - margin)) return false;
        }
        return true;
    }

    double factor() const { return 1.0 / n_; }

private:
    bool lower(int j) const { return j >= (g_.thickness + 1) / 2; }
    bool centre(int j) const { return (g_.thickness & 1) && j == g_.thickness / 2; }

    double sample(int row, int c) const { return sino_[(size_t)row * g_.sinoX + c]; }

    bool cell(double p, Pixel& px, int& c, double& f) const {
        const double last = g_.sinoX - 1;
        const double near = 1e-4;
        if ((p != -1 && std::fabs(p + 1) < near) || (p != last && std::fabs(p - last) < near)) px.ambiguous = true;
        if (!(p > -1 && p < last)) return false;
        c = (int)p;  // toward zero: p in (-1, 0) extrapolates from samples 0 and 1
        f = p - c;
        return true;
    }

    Geometry g_;
    const std::vector<a>& tilts_;
    const std::vector<float>& sino_;
    int n_;
};

}  // namespace wbp_ref
