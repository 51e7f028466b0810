#pragma once
// Products of a batch of slices: one pass over the run's matrix serves every
// slice of the batch, and each slice equals its single-slice product bit for bit.
#include "method/geometry.h"

// Reconstructs `count` slices with the matrix of `level` built by
// wbp_setup_sym<level> (the level that runs, after any fallback): sinos holds
// count weighted sinograms one after another (sinoX x Ntilts floats each),
// recons receives count slices (reconsX x reconsY floats each). Any count >= 1
// works; large ones are served in parts.
void wbp_product_batch(int level, float* recons, const float* sinos, int count, const Geometry& g);
// Releases the batch buffers (wbp_free does it too).
void wbp_batch_free();

// The SIRT iteration of `count` slices with the matrices of sirt_setup; sinos
// as read from the stack, recons as above.
void sirt_reconstruct_batch(float* recons, const float* sinos, int count, const Geometry& g, int iterations);
// Releases the batch buffers (sirt_free does it too).
void sirt_batch_free();
