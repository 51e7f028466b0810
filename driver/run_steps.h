#pragma once
// The steps of a run (driver/run.h takes them in order for every caller), and
// what a run holds from start-up to its end.
#include <cstdio>
#include <functional>
#include <vector>

#include "driver/binned_lengths.h"
#include "driver/options.h"
#include "driver/output_file.h"
#include "driver/output_header.h"
#include "driver/output_layout.h"
#include "driver/slice_range.h"
#include "driver/volume_stats.h"
#include "driver/xaxis_tilt.h"
#include "io/array_stack.h"
#include "io/binned_read.h"
#include "io/image.h"
#include "io/tilt_angles.h"
#include "method/detector_shift.h"
#include "method/geometry.h"
#include "method/method.h"

// What a run holds from start-up to its end.
struct Run {
    RunOptions options;
    const ArrayStack* array = nullptr;  // the input when set; else options.input_file
    std::unique_ptr<Image> stack;  // header only; its file stays open
    FILE* input = nullptr;   // null for an array stack
    std::vector<int> sections;  // the stack's sections used, one per sinogram row
    Geometry g{};
    Binning binning;                     // the stack as the run sees it (--bin)
    BinnedLengths lengths;               // the user's lengths in pixels of that stack
    DetectorShift shift;                 // rows moved per tilt (--offset's DELXX, --shift)
    XTilt xtilt;                         // output thickness and --xaxis-tilt's untilted slices
    SliceRange range;  // the slices of the output volume
    std::unique_ptr<a[]> tilts;
    std::unique_ptr<Image> slice;  // an output section (its header)
    InputSpacing spacing;
    MethodPlan method;
    double extra_host_mb = 0;  // host memory beside the method's (--xaxis-tilt's window, binned reading)
    // The sink's: called on the calling thread after each batch of slices is
    // written, with the slices done so far and their total; may throw to stop the run.
    std::function<void(int done, int total)> after_batch;
    // Optional, for a run without --xaxis-tilt: the memory of output slices
    // y .. y + count - 1 (stack slice numbers), reconstructed there directly;
    // the SliceWriter then gets pointers into it.
    std::function<float*(int y, int count)> slice_destination;
};

// With run->options (and run->array, if any) set: run_plan opens the input,
// checks it, works out the sizes (the binning and the user's lengths in its
// pixels) and reads the tilt angles; run_prepare checks the memory (against
// this process's part of the host's memory when `processes_on_host` share
// it) and sets up the images, the filter's check and the detector shift.
void run_plan(Run* run);
void run_prepare(Run* run, int processes_on_host);

// Builds the method's plan on `device`, as the selection returned it (printing the
// warning of a level-3 fallback when `warn`).
void run_build_method(Run* run, const GpuDevice& device, bool warn);

// Hands slices y .. y + count - 1, reconstructed (NX x thickness floats each,
// the values as the output's MODE and scaling write them), to the writer: y
// is the stack's slice number. Called in slice order.
using SliceWriter = std::function<void(int y, int count, const float* values)>;

// Reconstructs slices slab.first .. slab.last in batches through the slice
// pipeline and writes each in order; returns
// the statistics of every slice. With progress_total > 0 the progress line
// counts the slab's slices scaled to progress_total.
std::vector<VolumeStats> run_slices(Run* run, const SliceRange& slab, const SliceWriter& write, int progress_total);

// As run_slices for a slab of output slices: with --xaxis-tilt it reconstructs
// the untilted slices they need and forms them from those; returns the
// statistics of the output slices.
std::vector<VolumeStats> run_output_slices(Run* run, const SliceRange& slab, const SliceWriter& write,
                                           int progress_total);

// Floats of one output section.
inline size_t run_section_floats(const Run& run) { return (size_t)run.xtilt.width * run.xtilt.thickness; }

// Frees the method's device buffers.
void run_free_method(Run* run);

// Fills the slice image's header record as the final header of the output.
void run_complete_header(Run* run, const VolumeStats& stats);

// The output's layout in its file (--rotx) and MODE.
OutputLayout run_output_layout(const Run& run);

// One warning line on standard error where samples were clamped by the output's MODE.
void run_report_clamped(const Run& run, const VolumeStats& stats);

// Frees the method's plan (where not yet freed), closes the input and releases
// the filter, images and tilt records (also after a step that failed part way).
void run_release(Run* run);
