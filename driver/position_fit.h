#pragma once
// The slab fitted to the surfaces of every block: two planes z = a + s x + t y,
// each fitted robustly, so that a block with no content, dirt on top of the
// specimen or a band at the stack's edge cannot swing them.
#include <vector>

#include "driver/position_surfaces.h"

struct Plane {
    double a = 0, s = 0, t = 0;  // z = a + s x + t y
    double rms = 0;              // of the points kept
    int kept = 0;                // points within the bound of the fit
    double se_s = 0, se_t = 0;   // standard errors of the slopes
    double at(double x, double y) const { return a + s * x + t * y; }
};

// Least squares over the points whose residual stays within 3 robust
// standard deviations (at least `floor`) of the fit before, repeated until
// the points kept no longer change. Fewer than 3 points: kept = 0.
Plane robust_plane(const std::vector<double>& x, const std::vector<double>& y, const std::vector<double>& z,
                   double floor);

// The middle plane gives the pitch and the centre (a block's dirt or gap moves
// one surface, and the middle only half as much); the surfaces give the thickness.
struct SlabFit {
    Plane mid, top, bottom;
};

SlabFit fit_slab(const std::vector<SurfacePoint>& points, double floor);
