#pragma once
// Weighted back-projection on the plan's device: a plan holds the matrix of
// one slice at one symmetry level, built once, and the buffers of its
// products, which reconstruct any number of slices from their weighted
// sinograms. Plans hold no shared state: several may live, and run on
// different threads, at once.
#include "gpu/batch_staging.h"
#include "gpu/buffers.h"
#include "host_simd/host_run.h"
#include "host_simd/host_tiles.h"
#include "io/tilt_angles.h"
#include "method/geometry.h"

// A side stream of the plan and the device buffers of its sub-batches.
struct WbpTurn {
    BatchBuffer staging, sinos_in, slices_out;
    StreamOwner stream;  // destroyed first: its queued work still uses the buffers
};

// Holds owners: moved, never copied; freed with the plan.
struct WbpPlan {
    int level = 0;  // the level whose matrix is built
    Geometry g;
    ExecChoices x;  // fixed at set-up; the layout below follows from it
    // How the matrix is stored: in tiles for the host forms, entry-major (the
    // whole slice in one tile) for the kernel bodies on a GPU or run literally.
    host_tiles::TileLayout tiles;
    host_rows::HostRun host;  // the host forms' vector set and scratch
    MethodBuffers d;
    WbpTurn turns[2];
};

// Builds the matrix of `level` (0 to 3; level 3 needs tilt-symmetric angles, see
// wbp_level_to_run) into a new plan, on a device with memory_mb Mb to spare
// (GpuDevice::memory_mb), with the choices x, which the plan keeps.
WbpPlan wbp_setup(int level, const a* tangles, const Geometry& g, float memory_mb, const ExecChoices& x);

// Reconstructs `count` slices: sinos holds count weighted sinograms one after
// another (sinoX x Ntilts floats each), recons receives count slices (reconsX x
// reconsY floats each). Any count >= 1 works; one pass over the matrix serves
// a sub-batch of slices, large batches go in parts. Each slice equals the
// slice reconstructed alone, bit for bit.
void wbp_product(WbpPlan& p, float* recons, const float* sinos, int count);

// Releases the plan's buffers now (they are released with the plan anyway).
void wbp_free(WbpPlan& p);

// Launches the level's matrix kernel on the buffers the set-up allocated, whose
// matrix must be zero (as the set-up leaves it before the launch), and waits.
void wbp_build_matrix(const WbpPlan& p);

// The level whose matrix a run asking for `level` builds: level 3 needs
// tilt-symmetric angles and falls back to level 2 without them, with a warning
// on standard error where `warn`.
int wbp_level_to_run(int level, const a* tangles, int Ntilts, bool warn = true);
