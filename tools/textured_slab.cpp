#include "tools/textured_slab.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace {

constexpr double kRad = M_PI / 180.0;

// Rotation of (a, b) by the angle with cosine c and sine s.
void turn(double c, double s, double a, double b, double* a2, double* b2) {
    *a2 = c * a - s * b;
    *b2 = s * a + c * b;
}

void index_balls(TexturedSlab* s) {
    double lo[3] = {1e300, 1e300, 1e300}, hi[3] = {-1e300, -1e300, -1e300};
    for (const Ball& b : s->balls) {
        const double p[3] = {b.x, b.y, b.z};
        for (int k = 0; k < 3; ++k) lo[k] = std::min(lo[k], p[k] - b.r), hi[k] = std::max(hi[k], p[k] + b.r);
    }
    if (s->balls.empty()) return;
    s->x0 = lo[0], s->y0 = lo[1], s->z0 = lo[2];
    s->cx = (int)((hi[0] - lo[0]) / s->cell) + 1;
    s->cy = (int)((hi[1] - lo[1]) / s->cell) + 1;
    s->cz = (int)((hi[2] - lo[2]) / s->cell) + 1;
    s->cells.assign((size_t)s->cx * s->cy * s->cz, {});
    for (int i = 0; i < (int)s->balls.size(); ++i) {
        const Ball& b = s->balls[(size_t)i];
        auto range = [&](double c, double o, int n, int* a, int* z) {
            *a = std::max(0, (int)((c - b.r - o) / s->cell));
            *z = std::min(n - 1, (int)((c + b.r - o) / s->cell));
        };
        int xa, xz, ya, yz, za, zz;
        range(b.x, s->x0, s->cx, &xa, &xz);
        range(b.y, s->y0, s->cy, &ya, &yz);
        range(b.z, s->z0, s->cz, &za, &zz);
        for (int k = za; k <= zz; ++k)
            for (int j = ya; j <= yz; ++j)
                for (int q = xa; q <= xz; ++q) s->cells[((size_t)k * s->cy + j) * s->cx + q].push_back(i);
    }
}

}  // namespace

void world_from_slab(const SlabPose& p, const double slab[3], double world[3]) {
    const double ca = std::cos(p.xtilt_deg * kRad), sa = std::sin(p.xtilt_deg * kRad);
    const double cd = std::cos(p.offset_deg * kRad), sd = std::sin(p.offset_deg * kRad);
    double y, zf;
    turn(ca, sa, slab[1], slab[2], &y, &zf);
    turn(cd, sd, slab[0], zf - p.shift_z, &world[0], &world[2]);
    world[1] = y;
}

void slab_from_world(const SlabPose& p, const double world[3], double slab[3]) {
    const double ca = std::cos(p.xtilt_deg * kRad), sa = std::sin(p.xtilt_deg * kRad);
    const double cd = std::cos(p.offset_deg * kRad), sd = std::sin(p.offset_deg * kRad);
    double zf;
    turn(cd, -sd, world[0], world[2], &slab[0], &zf);
    turn(ca, -sa, world[1], zf + p.shift_z, &slab[1], &slab[2]);
}

TexturedSlab textured_slab(const SlabPose& pose, int nx, int ny, double max_deg, double spacing, uint32_t seed) {
    TexturedSlab s;
    s.pose = pose;
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    // Every ball a projection of the stack's rows can see: rays through the
    // detector at tilt m reach |x| <= (nx / 2 + |z| sin m) / cos m.
    const double m = std::min(max_deg, 80.0) * kRad, half = 0.5 * pose.thickness;
    const double zmax = std::fabs(pose.shift_z) + half + 4;
    const double ux = (0.5 * nx + zmax * std::sin(m)) / std::cos(m) / std::cos(pose.offset_deg * kRad) + 8;
    const double vy = (0.5 * ny + half * std::fabs(std::sin(pose.xtilt_deg * kRad)) + 4) / std::cos(pose.xtilt_deg * kRad);
    const double count = 2 * ux * 2 * vy * pose.thickness / (spacing * spacing * spacing);
    for (long i = 0; i < (long)count; ++i) {
        const double r = 1.5 + 1.5 * unit(rng), density = 0.5 + unit(rng);
        const double slab[3] = {ux * (2 * unit(rng) - 1), vy * (2 * unit(rng) - 1),
                                (half - r) * (2 * unit(rng) - 1)};
        double w[3];
        world_from_slab(pose, slab, w);
        if (std::fabs(w[1]) > 0.5 * ny + r) continue;  // no row of the stack meets it
        s.balls.push_back({w[0], w[1], w[2], r, density});
    }
    index_balls(&s);
    return s;
}

double slab_density(const TexturedSlab& s, double x, double y, double z) {
    if (s.balls.empty()) return 0;
    const int q = (int)std::floor((x - s.x0) / s.cell), j = (int)std::floor((y - s.y0) / s.cell),
              k = (int)std::floor((z - s.z0) / s.cell);
    if (q < 0 || j < 0 || k < 0 || q >= s.cx || j >= s.cy || k >= s.cz) return 0;
    double sum = 0;
    for (int i : s.cells[((size_t)k * s.cy + j) * s.cx + q]) {
        const Ball& b = s.balls[(size_t)i];
        const double dx = x - b.x, dy = y - b.y, dz = z - b.z;
        if (dx * dx + dy * dy + dz * dz <= b.r * b.r) sum += b.density;
    }
    return sum;
}

std::vector<float> slab_project(const TexturedSlab& s, int nx, int ny, const std::vector<float>& angles_deg) {
    const size_t row = (size_t)nx, section = row * (size_t)ny;
    std::vector<double> sum(section * angles_deg.size(), 0.0);
    const double r_2 = 0.5 * (nx - 1), h_2 = 0.5 * (ny - 1);
    // Each tilt fills its own section.
#pragma omp parallel for schedule(dynamic)
    for (long t = 0; t < (long)angles_deg.size(); ++t) {
        float c, sn;
        tilt_cos_sin(angles_deg[(size_t)t], &c, &sn);
        for (const Ball& b : s.balls) {
            const double p0 = c * b.x - sn * b.z + r_2;
            const int y0 = std::max(0, (int)std::ceil(b.y + h_2 - b.r)), y1 = std::min(ny - 1, (int)(b.y + h_2 + b.r));
            for (int y = y0; y <= y1; ++y) {
                const double dy = y - h_2 - b.y, rho2 = b.r * b.r - dy * dy;
                if (rho2 <= 0) continue;
                const double rho = std::sqrt(rho2) + 0.5;
                const int c0 = std::max(0, (int)std::ceil(p0 - rho)), c1 = std::min(nx - 1, (int)(p0 + rho));
                double* out = sum.data() + (size_t)t * section + (size_t)y * row;
                for (int q = c0; q <= c1; ++q) {
                    double chords = 0;
                    for (int k = 0; k < 4; ++k) {
                        const double d = q + (k + 0.5) / 4 - 0.5 - p0;
                        if (d * d < rho2) chords += 2 * std::sqrt(rho2 - d * d);
                    }
                    out[q] += b.density * chords / 4;
                }
            }
        }
    }
    return std::vector<float>(sum.begin(), sum.end());
}

void add_noise(std::vector<float>* samples, double snr, uint32_t seed) {
    double mean = 0, var = 0;
    for (float v : *samples) mean += v;
    mean /= (double)std::max<size_t>(1, samples->size());
    for (float v : *samples) var += (v - mean) * (v - mean);
    var /= (double)std::max<size_t>(1, samples->size());
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, std::sqrt(var / snr));
    for (float& v : *samples) v = (float)(v + noise(rng));
}
