#pragma once
// Where a run's slices go: an MRC file (through its temporary file), an array
// in memory, or (skarbel-mpi) one rank's slab of a shared file. The run calls
// the hooks that are set, in this order; an unset one does nothing.
#include <functional>
#include <vector>

#include "driver/output_file.h"
#include "driver/output_layout.h"
#include "driver/slice_range.h"
#include "driver/volume_stats.h"
#include "driver/write_behind.h"

struct Run;
struct Position;

struct RunSink {
    bool announce = false;  // the method and device lines and the progress line (the lead's)
    bool warn = true;       // the warning of a level-3 fallback (the lead's)
    bool converts = true;   // --mode, --scale and --rotx shape the values; else floats as reconstructed
    // --position's result, before the run.
    std::function<void(const Position&)> found;
    // --estimate: the figures instead of the run.
    std::function<void(Run&)> estimate;
    // The lead, once the inputs are checked: the output's checks, the output made.
    std::function<void(Run&)> open;
    // Every process, once the lead has opened the output.
    std::function<void(Run&)> join;
    // The slices this process reconstructs, in order; the run's whole range when unset.
    std::function<std::vector<SliceRange>(const Run&)> slabs;
    // Where slices y .. y + count - 1 can be reconstructed in place (not through --xaxis-tilt's window).
    std::function<float*(int y, int count)> destination;
    // Slices y .. y + count - 1 of slab number `slab`, in order (the values as the output's format writes them).
    std::function<void(int slab, int y, int count, const float* values)> write;
    // On the calling thread after each batch of slices: may throw to stop the run.
    std::function<void(int done, int total)> after_batch;
    // Every process, after its slices.
    std::function<void()> close;
    // The lead, with the statistics of the whole volume.
    std::function<void(Run&, const VolumeStats&)> finish;
    // On an error: whatever the output holds so far is dropped.
    std::function<void()> abandon;
};

// The program's output file: written to its temporary file, in order (or with
// --rotx at the places of its sections), and moved over the output when complete.
struct FileOutput {
    OutputFile out;
    OutputLayout layout;
    std::vector<unsigned char> scratch;  // packed samples
    WriteBehind behind;
};

// Refuses an output that would overwrite an input, checks the room in its
// folder, and makes the temporary file with the provisional header.
void file_output_open(FileOutput* f, Run& run);
// The final header from the statistics; `last_check` is the last moment the
// run may still stop and leave no output; then the file goes into place.
void file_output_finish(FileOutput* f, Run& run, const VolumeStats& stats, const std::function<void()>& last_check);

// The command line's sink: the lines on standard output, --position's lines,
// --estimate's figures, the file.
RunSink file_sink(FileOutput* f);

// A volume in memory (slices, thickness, width) of floats as a MODE 2 file
// holds them: --mode, --scale and --rotx do not apply. Slices are
// reconstructed in place, except through --xaxis-tilt's window.
struct ArrayOutput {
    std::function<float*(size_t floats)> allocate;  // the caller owns the memory
    float* values = nullptr;
    int slices = 0, thickness = 0, width = 0;
    int first = 0;  // the stack row of the first slice
};

RunSink array_sink(ArrayOutput* a);
