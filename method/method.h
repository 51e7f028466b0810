#pragma once
// The reconstruction method of a run, as the driver sees it: set up once,
// reconstruct slices, free. WBP at symmetry levels 0 to 3, or SIRT.
#include "io/tilt_angles.h"
#include "method/geometry.h"

struct WbpPlan;
struct SirtPlan;

// A handle on the method's plan, which owns the matrices and buffers; copies
// share it, and method_free releases it once.
struct Method {
    bool sirt = false;
    int level = 0;       // WBP symmetry level asked for
    int level_run = 0;   // WBP level whose matrix was built: 2 where level 3 lacks tilt symmetry
    int iterations = 0;  // SIRT iterations
    Geometry g;
    WbpPlan* wbp = nullptr;
    SirtPlan* sirt_plan = nullptr;
};

// Builds the method's matrices on the selected device for the run's geometry,
// into a plan of its own, which also takes WBP's weighting filter as set up
// now (weighting/weighting.h): several methods may live, and reconstruct on
// different threads, at once.
Method method_setup(bool sirt, int level, int iterations, const a* tangles, const Geometry& g);

// Reconstructs count consecutive slices: sinos holds their count sinograms of
// Ntilts x sinoX one after another (WBP weights them in place), slices
// receives count slices of reconsY x reconsX. The slices share each pass over
// the matrix, and each equals the slice reconstructed alone. It is
// method_weight, then method_products.
void method_reconstruct(const Method& m, float* slices, float* sinos, int count);

// The two steps of method_reconstruct, which the slice pipeline runs on
// different threads: the weighting of WBP (on all threads; nothing for SIRT),
// and the products.
void method_weight(const Method& m, float* sinos, int count);
void method_products(const Method& m, float* slices, float* sinos, int count);

// Slices per pass: `requested` (--batch) where memory holds it, or, for 0, the
// size that suits this method, geometry and device (gpu/batch_size.h).
int method_batch_size(const Method& m, int requested);

// Releases the method's device buffers.
void method_free(const Method& m);
