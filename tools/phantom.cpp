#include "tools/phantom.h"

#include <algorithm>
#include <cmath>

#include "io/tilt_angles.h"

namespace {

constexpr double pi = 3.14159265358979323846;

// One shape cut by the plane of a row: an ellipse or a rectangle in x-z.
struct Section {
    bool ellipse;
    double cx, cz;
    double c, s;     // cosine and sine of the rotation
    double ex, ez;   // semi-axes (ellipse) or half sizes (rectangle), local axes
    double bx, bz;   // half extents of the bounding box along x and z
    double density;
};

// World offset (dx, dz) from the centre to the shape's local axes.
void to_local(const Section& sec, double dx, double dz, double* u, double* v) {
    *u = sec.c * dx + sec.s * dz;
    *v = -sec.s * dx + sec.c * dz;
}

bool inside(const Section& sec, double x, double z) {
    double u, v;
    to_local(sec, x - sec.cx, z - sec.cz, &u, &v);
    if (sec.ellipse) {
        const double a = u / sec.ex, b = v / sec.ez;
        return a * a + b * b <= 1.0;
    }
    return std::fabs(u) <= sec.ex && std::fabs(v) <= sec.ez;
}

Section make_section(bool ellipse, double cx, double cz, double phi_deg, double ex, double ez, double density) {
    Section sec;
    sec.ellipse = ellipse;
    sec.cx = cx;
    sec.cz = cz;
    sec.c = std::cos(phi_deg * pi / 180.0);
    sec.s = std::sin(phi_deg * pi / 180.0);
    sec.ex = ex;
    sec.ez = ez;
    if (ellipse) {
        sec.bx = std::hypot(ex * sec.c, ez * sec.s);
        sec.bz = std::hypot(ex * sec.s, ez * sec.c);
    } else {
        sec.bx = ex * std::fabs(sec.c) + ez * std::fabs(sec.s);
        sec.bz = ex * std::fabs(sec.s) + ez * std::fabs(sec.c);
    }
    sec.density = density;
    return sec;
}

// The shapes that reach the plane y, cut by it.
std::vector<Section> sections_at(const Phantom& phantom, double y) {
    std::vector<Section> out;
    for (const Ellipsoid& e : phantom.ellipsoids) {
        const double t = (y - e.cy) / e.ay;
        const double q = 1.0 - t * t;
        if (q <= 0) continue;
        const double r = std::sqrt(q);
        out.push_back(make_section(true, e.cx, e.cz, e.phi_deg, e.ax * r, e.az * r, e.density));
    }
    for (const Box& b : phantom.boxes) {
        if (std::fabs(y - b.cy) > b.hy) continue;
        out.push_back(make_section(false, b.cx, b.cz, b.phi_deg, b.hx, b.hz, b.density));
    }
    return out;
}

// Length of the line p0 + t*d (|d| = 1) inside the section.
double chord(const Section& sec, double p0x, double p0z, double dx, double dz) {
    double pu, pv, du, dv;
    to_local(sec, p0x - sec.cx, p0z - sec.cz, &pu, &pv);
    to_local(sec, dx, dz, &du, &dv);
    if (sec.ellipse) {
        const double iu = 1.0 / (sec.ex * sec.ex), iv = 1.0 / (sec.ez * sec.ez);
        const double a = du * du * iu + dv * dv * iv;
        const double b = 2.0 * (pu * du * iu + pv * dv * iv);
        const double c = pu * pu * iu + pv * pv * iv - 1.0;
        const double disc = b * b - 4.0 * a * c;
        return disc > 0 ? std::sqrt(disc) / a : 0.0;
    }
    // Clip the line against the two pairs of edges.
    double lo = -INFINITY, hi = INFINITY;
    const double p[2] = {pu, pv}, d[2] = {du, dv}, h[2] = {sec.ex, sec.ez};
    for (int k = 0; k < 2; ++k) {
        if (d[k] == 0.0) {
            if (std::fabs(p[k]) > h[k]) return 0.0;
            continue;
        }
        double t0 = (-h[k] - p[k]) / d[k], t1 = (h[k] - p[k]) / d[k];
        if (t0 > t1) std::swap(t0, t1);
        lo = std::max(lo, t0);
        hi = std::min(hi, t1);
    }
    return hi > lo ? hi - lo : 0.0;
}

// Fraction of the unit pixel at (x, z) covered by the section, from n*n points.
double coverage(const Section& sec, double x, double z, int n) {
    if (std::fabs(x - sec.cx) > sec.bx + 0.5 || std::fabs(z - sec.cz) > sec.bz + 0.5) return 0.0;
    // Shapes are convex: four corners inside means the whole pixel is.
    if (inside(sec, x - 0.5, z - 0.5) && inside(sec, x + 0.5, z - 0.5) && inside(sec, x - 0.5, z + 0.5) &&
        inside(sec, x + 0.5, z + 0.5))
        return 1.0;
    int hits = 0;
    for (int a = 0; a < n; ++a)
        for (int b = 0; b < n; ++b) hits += inside(sec, x + (a + 0.5) / n - 0.5, z + (b + 0.5) / n - 0.5);
    return (double)hits / (n * n);
}

double centre(int n) { return (n - 1) * 0.5; }

}  // namespace

Phantom default_phantom(const PhantomSize& size) {
    const double X = size.nx * 0.5, Y = size.ny * 0.5, Z = size.thickness * 0.5;
    Phantom p;
    p.boxes.push_back({0, 0, 0, 0.85 * X, 0.9 * Y, 0.7 * Z, 0, 0.25});
    p.ellipsoids.push_back({-0.40 * X, 0.05 * Y, 0.10 * Z, 0.28 * X, 0.50 * Y, 0.40 * Z, 30, 1.0});
    p.ellipsoids.push_back({-0.38 * X, 0.05 * Y, 0.10 * Z, 0.10 * X, 0.25 * Y, 0.15 * Z, -45, -0.5});
    p.ellipsoids.push_back({0.35 * X, -0.15 * Y, -0.25 * Z, 0.22 * X, 0.30 * Y, 0.35 * Z, -20, 0.6});
    p.ellipsoids.push_back({0.40 * X, 0.20 * Y, 0.35 * Z, 0.12 * X, 0.25 * Y, 0.22 * Z, 0, 1.6});
    p.ellipsoids.push_back({0.0, 0.05 * Y, 0.45 * Z, 0.06 * X, 0.06 * Y, 0.15 * Z, 60, 2.0});
    return p;
}

double phantom_density(const Phantom& phantom, double x, double y, double z) {
    double sum = 0;
    for (const Section& sec : sections_at(phantom, y))
        if (inside(sec, x, z)) sum += sec.density;
    return sum;
}

double phantom_line_integral(const Phantom& phantom, double y, double cos_a, double sin_a, double s) {
    // The line's normal (cos_a, -sin_a) need not be of unit length (the
    // angles are floats); the foot point satisfies the line equation exactly.
    const double n2 = cos_a * cos_a + sin_a * sin_a, n = std::sqrt(n2);
    const double p0x = s * cos_a / n2, p0z = -s * sin_a / n2;
    const double dx = sin_a / n, dz = cos_a / n;
    double sum = 0;
    for (const Section& sec : sections_at(phantom, y)) sum += sec.density * chord(sec, p0x, p0z, dx, dz);
    return sum;
}

std::vector<float> phantom_tilt_angles(int ntilts, float max_deg) {
    std::vector<float> angles((size_t)std::max(ntilts, 0));
    for (int t = 0; t < ntilts; ++t)
        angles[(size_t)t] = ntilts == 1 ? 0.0f : (float)(-max_deg + 2.0 * max_deg * t / (ntilts - 1));
    return angles;
}

void tilt_cos_sin(float angle_deg, float* cos_a, float* sin_a) {
    const a tilt = tilt_record(angle_deg);
    *cos_a = tilt.cos_a;
    *sin_a = tilt.sin_a;
}

std::vector<float> phantom_project(const Phantom& phantom, const PhantomSize& size, const std::vector<float>& angles_deg) {
    const size_t row = (size_t)size.nx, section = row * (size_t)size.ny;
    std::vector<float> stack(section * angles_deg.size());
    const double r_2 = centre(size.nx);
    for (size_t t = 0; t < angles_deg.size(); ++t) {
        float c, s;
        tilt_cos_sin(angles_deg[t], &c, &s);
        for (int y = 0; y < size.ny; ++y) {
            float* out = stack.data() + t * section + (size_t)y * row;
            const double yc = y - centre(size.ny);
            for (int i = 0; i < size.nx; ++i) out[i] = (float)phantom_line_integral(phantom, yc, c, s, i - r_2);
        }
    }
    return stack;
}

std::vector<float> phantom_truth(const Phantom& phantom, const PhantomSize& size, int supersample) {
    const size_t row = (size_t)size.nx, slice = row * (size_t)size.thickness;
    std::vector<float> volume(slice * (size_t)size.ny, 0.0f);
    const int n = std::max(supersample, 1);
    for (int y = 0; y < size.ny; ++y) {
        const std::vector<Section> sections = sections_at(phantom, y - centre(size.ny));
        float* out = volume.data() + (size_t)y * slice;
        for (int j = 0; j < size.thickness; ++j) {
            const double z = j - centre(size.thickness);
            for (int i = 0; i < size.nx; ++i) {
                const double x = i - centre(size.nx);
                double sum = 0;
                for (const Section& sec : sections) sum += sec.density * coverage(sec, x, z, n);
                out[(size_t)j * row + (size_t)i] = (float)sum;
            }
        }
    }
    return volume;
}
