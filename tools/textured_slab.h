#pragma once
// A specimen for --position: a slab wider than the field of view, filled with
// many small dense balls, pitched and moved as a reconstruction with
// --offset=DELANG --xaxis-tilt=A --shift=0,DZ would show it flat and centred:
// that run's voxel (x, Y, Z) (centred pixels) holds the specimen's point
// (x, Y, Z), and the slab is |Z| <= thickness / 2.
#include <cstdint>
#include <vector>

#include "tools/phantom.h"

struct SlabPose {
    double offset_deg = 0;  // DELANG that flattens the slope along X
    double xtilt_deg = 0;   // --xaxis-tilt that flattens the slope along Y
    double shift_z = 0;     // DZ that centres it
    double thickness = 100;
};

struct Ball {
    double x, y, z, r, density;  // world (the plain reconstruction's centred pixels)
};

struct TexturedSlab {
    SlabPose pose;
    std::vector<Ball> balls;
    // Index of the balls by cells of the world, for the density at a point.
    double cell = 8, x0 = 0, y0 = 0, z0 = 0;
    int cx = 0, cy = 0, cz = 0;
    std::vector<std::vector<int>> cells;
};

// Balls of radius 1.5 to 3, one per `spacing`^3 pixels, over all that the
// projections of a stack nx x ny at tilts up to max_deg can see.
TexturedSlab textured_slab(const SlabPose& pose, int nx, int ny, double max_deg, double spacing, uint32_t seed);

// The slab's coordinates of a world point, and back.
void slab_from_world(const SlabPose& pose, const double world[3], double slab[3]);
void world_from_slab(const SlabPose& pose, const double slab[3], double world[3]);

double slab_density(const TexturedSlab& s, double x, double y, double z);

// Projections of the rows of a stack nx x ny at the angles (as phantom_project
// lays them out), each sample the mean of 4 line integrals across its width.
std::vector<float> slab_project(const TexturedSlab& s, int nx, int ny, const std::vector<float>& angles_deg);

// Adds Gaussian noise whose variance is that of the samples over snr.
void add_noise(std::vector<float>* samples, double snr, uint32_t seed);
