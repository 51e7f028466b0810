#include "driver/position_fit.h"

#include <algorithm>
#include <cmath>

namespace {

// Least squares plane through the points marked in `use` (the 3 x 3 normal equations, by Cramer's rule).
bool solve_plane(const std::vector<double>& x, const std::vector<double>& y, const std::vector<double>& z,
                 const std::vector<bool>& use, Plane* p) {
    double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0, syy = 0, sz = 0, sxz = 0, syz = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        if (!use[i]) continue;
        n += 1, sx += x[i], sy += y[i], sz += z[i];
        sxx += x[i] * x[i], sxy += x[i] * y[i], syy += y[i] * y[i], sxz += x[i] * z[i], syz += y[i] * z[i];
    }
    const double m[3][3] = {{n, sx, sy}, {sx, sxx, sxy}, {sy, sxy, syy}}, r[3] = {sz, sxz, syz};
    auto det = [](const double (&a)[3][3]) {
        return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) - a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
               a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    };
    const double d = det(m);
    // Points along one line only (one band, or one block column) fix no plane.
    if (n < 3 || !(std::fabs(d) > 1e-9 * std::max(1.0, std::fabs(sxx * syy * n)))) return false;
    double c[3];
    for (int k = 0; k < 3; ++k) {
        double mk[3][3];
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) mk[i][j] = j == k ? r[i] : m[i][j];
        c[k] = det(mk) / d;
    }
    p->a = c[0], p->s = c[1], p->t = c[2];
    return true;
}

double median(std::vector<double> v) {
    std::nth_element(v.begin(), v.begin() + (long)(v.size() / 2), v.end());
    return v[v.size() / 2];
}

}  // namespace

Plane robust_plane(const std::vector<double>& x, const std::vector<double>& y, const std::vector<double>& z,
                   double floor) {
    Plane p;
    std::vector<bool> use(x.size(), true);
    if (x.size() < 3) return p;
    // A start that ignores outliers: the median level, no slope.
    p.a = median(z);
    std::vector<double> res(x.size());
    for (int round = 0; round < 20; ++round) {
        for (size_t i = 0; i < x.size(); ++i) res[i] = std::fabs(z[i] - p.at(x[i], y[i]));
        const double bound = std::max(floor, 3 * 1.4826 * median(res));
        std::vector<bool> next(x.size());
        for (size_t i = 0; i < x.size(); ++i) next[i] = res[i] <= bound;
        if (round > 0 && next == use) break;
        use = next;
        Plane q = p;
        if (!solve_plane(x, y, z, use, &q)) return Plane{};
        p = q;
    }
    double sum = 0, mx = 0, my = 0;
    p.kept = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        if (!use[i]) continue;
        const double r = z[i] - p.at(x[i], y[i]);
        sum += r * r, mx += x[i], my += y[i];
        ++p.kept;
    }
    if (p.kept == 0) return p;
    p.rms = std::sqrt(sum / p.kept);
    mx /= p.kept, my /= p.kept;
    double vx = 0, vy = 0;
    for (size_t i = 0; i < x.size(); ++i)
        if (use[i]) vx += (x[i] - mx) * (x[i] - mx), vy += (y[i] - my) * (y[i] - my);
    p.se_s = p.rms / std::sqrt(vx);
    p.se_t = p.rms / std::sqrt(vy);
    return p;
}

SlabFit fit_slab(const std::vector<SurfacePoint>& points, double floor) {
    std::vector<double> x, y, mid, top, bottom;
    for (const SurfacePoint& q : points) {
        x.push_back(q.x);
        y.push_back(q.y);
        mid.push_back(q.mid);
        top.push_back(q.top);
        bottom.push_back(q.bottom);
    }
    return {robust_plane(x, y, mid, floor), robust_plane(x, y, top, floor), robust_plane(x, y, bottom, floor)};
}
