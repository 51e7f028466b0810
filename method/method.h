#pragma once
// The reconstruction method of a run as a plan, in the manner of FFTW's:
//     MethodPlan plan = plan_method(options, geometry, tilts, device);
//     execute_weighting(plan, sinograms, count);        // as often as needed,
//     execute_products(plan, sinograms, slices, count); // each after the other
//     free(plan);
// WBP at symmetry levels 0 to 3, or SIRT. A plan owns everything its
// reconstructions use (matrices, device buffers, streams, WBP's weighting
// filter), so plans of different sizes may live, and execute on different
// threads, at once.
#include <memory>
#include <optional>

#include "gpu/gpu_layer.h"
#include "host_simd/host_forms.h"
#include "io/tilt_angles.h"
#include "method/geometry.h"
#include "weighting/weighting.h"

struct WbpPlan;
struct SirtPlan;

// What the method needs to know of the run's options.
struct MethodOptions {
    bool sirt = false;
    int level = 2;        // WBP symmetry level asked for
    int iterations = 30;  // SIRT iterations
    bool warn = true;     // print the warning of a level 3 that runs as level 2
    // WBP's weighting: the ramp, or with sirt_like > 0 the filter that imitates
    // that many SIRT iterations; radial replaces the Hamming taper of either.
    int sirt_like = 0;
    std::optional<RadialTaper> radial;
    // The vector set of the host forms; unset, the widest the processor has.
    std::optional<host_rows::Vectors> vectors;
    // Every kernel in its literal per-item form on the host (tests compare the
    // two forms), instead of the faster host forms with the same results.
    bool literal_forms = false;
};

// The options of a method weighted by the plain ramp.
MethodOptions method_options(bool sirt, int level, int iterations);

struct WbpPlanRelease {
    void operator()(WbpPlan* p) const;
};
struct SirtPlanRelease {
    void operator()(SirtPlan* p) const;
};

// A plan: moved, not copied; free (or its end) releases what it holds.
struct MethodPlan {
    MethodOptions options;
    int level_run = 0;  // WBP level whose matrix was built: 2 where level 3 lacks tilt symmetry
    Geometry g;
    GpuDevice device;
    ExecChoices x;  // fixed when built; the method's plan holds the same
    std::unique_ptr<WbpPlan, WbpPlanRelease> wbp;
    std::unique_ptr<SirtPlan, SirtPlanRelease> sirt_plan;
    WeightingFilterHandle filter;  // WBP's
};

// Builds the method's matrices (and WBP's filter) for the geometry and tilts
// on `device`, to which it binds the calling thread, checked against its
// memory_mb; the plan keeps `device` and runs there; decides the WBP level
// that runs (level 3 falls back to 2 without tilt symmetry, with a warning).
MethodPlan plan_method(const MethodOptions& options, const Geometry& g, const a* tilts, const GpuDevice& device);

// The two steps that reconstruct count consecutive slices, which the slice
// pipeline runs on different threads: sinograms holds their count sinograms
// of Ntilts x sinoX one after another, slices receives count slices of
// reconsY x reconsX. The weighting of WBP weights the sinograms in place (on
// all threads; nothing for SIRT); the products bind the calling thread to the
// plan's device, share each pass over the matrix among the slices, each equal
// to the slice reconstructed alone, and run one thread at a time per plan.
void execute_weighting(const MethodPlan& plan, float* sinograms, int count);
void execute_products(MethodPlan& plan, float* sinograms, float* slices, int count);

// Slices per pass: `requested` (--batch) where memory holds it, or, for 0, the
// size that suits this method, geometry and the plan's device as it is now
// (gpu/batch_size.h).
int plan_batch_size(const MethodPlan& plan, int requested);

// Releases the plan's matrices, buffers, streams and filter (again: nothing);
// its options, level and geometry stay.
void free(MethodPlan& plan);
