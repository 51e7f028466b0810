#pragma once
#include <vector>

// An analytic 3-D phantom for tilt series: ellipsoids and boxes of constant
// density (densities add where shapes overlap), each possibly rotated in the
// x-z plane, projected by exact line integrals.
//
// Coordinates are centred pixel units of the reconstruction: slice pixel
// (i, j) of image row y is the point x = i - (nx-1)/2, z = j - (thickness-1)/2,
// and the row itself sits at y - (ny-1)/2. Projection sample c of row y at a
// tilt with cosine cos_a and sine sin_a is the integral of the density along
// the line cos_a*x - sin_a*z = c - (nx-1)/2 in that row, which is the line
// onto which the reconstruction projects its pixels.

struct Ellipsoid {
    double cx, cy, cz;  // centre
    double ax, ay, az;  // semi-axes before the rotation
    double phi_deg;     // rotation in the x-z plane (x towards z)
    double density;
};

struct Box {
    double cx, cy, cz;  // centre
    double hx, hy, hz;  // half sizes before the rotation
    double phi_deg;     // rotation in the x-z plane (x towards z)
    double density;
};

struct Phantom {
    std::vector<Ellipsoid> ellipsoids;
    std::vector<Box> boxes;
};

struct PhantomSize {
    int nx;         // projection width = slice width
    int ny;         // projection rows = number of slices
    int thickness;  // slice height
};

// A slab of low density holding ellipsoids of different densities (one of
// them a lighter hole), scaled to the size; the whole object stays inside
// the reconstructed area, and the central slice cuts most of the ellipsoids.
Phantom default_phantom(const PhantomSize& size);

double phantom_density(const Phantom& phantom, double x, double y, double z);

// Integral of the density along {cos_a*x - sin_a*z = s} in the plane y.
double phantom_line_integral(const Phantom& phantom, double y, double cos_a, double sin_a, double s);

// Tilt angles evenly spread over -max_deg .. max_deg (0 alone for one tilt).
std::vector<float> phantom_tilt_angles(int ntilts, float max_deg);

// Cosine and sine of a tilt angle computed exactly as the reconstruction does
// from the angle it reads back from the tilt file.
void tilt_cos_sin(float angle_deg, float* cos_a, float* sin_a);

// Projections at the given angles: nx * ny * angles.size() values, section t
// (the projection at angle t) after section t-1, rows of nx samples.
std::vector<float> phantom_project(const Phantom& phantom, const PhantomSize& size, const std::vector<float>& angles_deg);

// The phantom in the reconstruction's output order: nx * thickness * ny
// values, section y (one slice) after section y-1, slice pixel (i, j) at
// j*nx + i. Each voxel is the mean density over supersample^2 points spread
// evenly over its pixel in the x-z plane, taken in the plane of the row.
std::vector<float> phantom_truth(const Phantom& phantom, const PhantomSize& size, int supersample);
