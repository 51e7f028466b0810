#pragma once
// Weighted back-projection on the selected device: a set-up per symmetry level
// builds the matrix of one slice once per run; the level's product then
// reconstructs each slice from its weighted sinogram.
#include "io/tilt_angles.h"
#include "method/geometry.h"

void wbp_setup_sym0(const a* tangles, const Geometry& g);
void wbp_setup_sym1(const a* tangles, const Geometry& g);
void wbp_setup_sym2(const a* tangles, const Geometry& g);
// Needs tilt-symmetric angles (see wbp_level_to_run).
void wbp_setup_sym3(const a* tangles, const Geometry& g);
void wbp_product_sym0(float* recons, const float* sino, const Geometry& g);
void wbp_product_sym1(float* recons, const float* sino, const Geometry& g);
void wbp_product_sym2(float* recons, const float* sino, const Geometry& g);
void wbp_product_sym3(float* recons, const float* sino, const Geometry& g);
void wbp_free();

// Launches the level's matrix kernel on the buffers its set-up allocated, whose
// matrix must be zero (as the set-up leaves it before the launch), and waits.
void wbp_build_matrix(int level, const Geometry& g);

// The set-up and product of each symmetry level, indexed by level.
struct WbpLevel {
    void (*setup)(const a* tangles, const Geometry& g);
    void (*product)(float* recons, const float* sino, const Geometry& g);
};
extern const WbpLevel wbp_levels[4];

// The level whose matrix a run asking for `level` builds: level 3 needs
// tilt-symmetric angles and falls back to level 2 with a warning without them.
int wbp_level_to_run(int level, const a* tangles, int Ntilts);
