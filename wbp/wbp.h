#pragma once
// Weighted back-projection on the selected device: the set-up of a symmetry
// level builds the matrix of one slice once per run; the level's product then
// reconstructs any number of slices from their weighted sinograms.
#include "io/tilt_angles.h"
#include "method/geometry.h"

// Builds the matrix of `level` (0 to 3; level 3 needs tilt-symmetric angles, see
// wbp_level_to_run).
void wbp_setup(int level, const a* tangles, const Geometry& g);

// Reconstructs `count` slices with the matrix of `level` built by wbp_setup
// (the level that runs, after any fallback): sinos holds count weighted
// sinograms one after another (sinoX x Ntilts floats each), recons receives
// count slices (reconsX x reconsY floats each). Any count >= 1 works; one pass
// over the matrix serves a sub-batch of slices, large batches go in parts. Each
// slice equals the slice reconstructed alone, bit for bit.
void wbp_product(int level, float* recons, const float* sinos, int count, const Geometry& g);

// Releases the matrix and the product's buffers.
void wbp_free();
// Releases the product's buffers only (wbp_free does it too).
void wbp_product_free();

// Launches the level's matrix kernel on the buffers its set-up allocated, whose
// matrix must be zero (as the set-up leaves it before the launch), and waits.
void wbp_build_matrix(int level, const Geometry& g);

// The level whose matrix a run asking for `level` builds: level 3 needs
// tilt-symmetric angles and falls back to level 2 with a warning without them.
int wbp_level_to_run(int level, const a* tangles, int Ntilts);
