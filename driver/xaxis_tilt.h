#pragma once
// --xaxis-tilt: the specimen was rotated about the X axis, taking (Y, Z) to
// (Y cos A - Z sin A, Y sin A + Z cos A). The run reconstructs slices of the
// untilted frame (thicker, so that they hold every source point), and output
// voxel (x, Y, Z) takes the untilted reconstruction at that rotated point,
// linear between neighbouring slices and rows, 0 where it lies outside the
// stack's rows. Only a window of untilted slices is held at a time.
#include <deque>
#include <functional>
#include <vector>

#include "driver/slice_range.h"
#include "driver/volume_stats.h"
#include "io/output_modes.h"

struct XTilt {
    bool active = false;       // A != 0
    double cos_a = 1, sin_a = 0;
    int stack_rows = 0;        // rows of the (binned) stack: the slices of the untilted frame
    int width = 0;             // slice width
    int thickness = 0;         // output slice height
    int source_thickness = 0;  // height of the untilted slices: the output's plus the same margin on both sides
};

// The plan for a stack of stack_rows rows and output slices of width x thickness;
// inactive (source_thickness = thickness) for A = 0.
XTilt xtilt_plan(double angle_deg, int stack_rows, int width, int thickness);

// Host memory of the window at its largest, in Mb (0 when inactive).
double xtilt_window_mb(const XTilt& x);

// The untilted slices that output slices out.first .. out.last take values from.
SliceRange xtilt_sources(const XTilt& x, const SliceRange& out);

// Output slice y from the untilted slices first .. first + count - 1 in
// sources (width x source_thickness floats each, one after another) into out
// (width x thickness). The slices must cover xtilt_sources of y. It runs on the
// writing thread beside the worker's products, on one thread: a team of its
// own would only compete with theirs for the cores.
void xtilt_slice(const XTilt& x, int y, const float* const* sources, int first, int count, float* out);

// The window of untilted slices of one run of output slices: fed the untilted
// slices in order, it hands every output slice to `write` as soon as its
// sources are in, its values as the output's format writes them, and keeps
// the statistics (and clamped samples) of each.
struct XTiltWindow {
    XTilt plan;
    SliceRange out;
    OutputFormat format;
    std::function<void(int y, const float* values)> write;
    int next = 0;                         // next output slice to write
    int first_held = 0;                   // untilted slice of held.front()
    std::deque<std::vector<float>> held;  // consecutive untilted slices
    std::vector<std::vector<float>> spare;
    std::vector<float> slice;             // the output slice being formed
    std::vector<VolumeStats> stats;       // of every output slice written
};

XTiltWindow xtilt_window(const XTilt& plan, const SliceRange& out, const OutputFormat& format,
                         const std::function<void(int y, const float* values)>& write);
// Untilted slice u (the next in order) enters the window.
void xtilt_window_add(XTiltWindow* w, int u, const float* values);
