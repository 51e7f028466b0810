#pragma once
// Where the preview's texture is: the top and bottom of the specimen in
// column blocks across X of every band, from the local standard deviation.
#include <vector>

#include "driver/position_preview.h"

// One column block's surfaces, stack pixels from the slice centre (z) and the
// stack's middle row (y).
struct SurfacePoint {
    double x = 0, y = 0;
    double top = 0, bottom = 0;  // the higher and the lower z
    double mid = 0;              // halfway between them
};

struct SurfaceSearch {
    std::vector<SurfacePoint> points;  // blocks whose texture stands out and lies inside the range
    int blocks = 0;                    // blocks looked at
    int with_content = 0;              // blocks whose texture stands out of the background
    int clipped = 0;                   // of those, blocks whose texture reaches the range's edge
};

SurfaceSearch find_surfaces(const PreviewBands& preview);

// The local mean, or the local standard deviation, over a (2r+1) x (2r+1)
// window (clipped at the edges) of a width x height image, into out (width x
// height floats); the integral images it works in are kept from one image to
// the next.
struct BoxScratch {
    std::vector<double> s1, s2;
};
void local_moments_into(const float* image, int width, int height, int r, bool deviation, BoxScratch* box,
                        float* out);

// Adds a slice's texture to sum (width x height): its local deviation after
// a local mean, which WBP's streaks, finer than any specimen's texture, do
// not pass.
struct TextureScratch {
    BoxScratch box;
    std::vector<float> smooth, deviation;
};
void add_texture(const float* slice, int width, int height, TextureScratch* s, double* sum);
