#pragma once
// The slice loop as a pipeline of batches: while the worker thread
// reconstructs batch n, the calling thread writes batch n - 1 and then reads
// (and prepares) batch n + 1. Two sinogram and two slice buffers of a batch
// each are all it holds, so memory stays a few batches, never the volume.
// Reading and writing stay on the calling thread, in slice order. An error
// (an exception) of either thread stops the pipeline once the worker's job in
// hand is done and goes on in the calling thread: the first one, the
// calling thread's own when both fail. A stop signal (stop_signals.h) is
// looked at after every batch and ends the pipeline the same way. The worker's
// device is the one its job binds to (execute_products binds to the plan's),
// so that a failure to bind is an error of the job like any other.
#include <cstddef>
#include <functional>

struct SliceSteps {
    // Calling thread: fills sinos with the sinograms of slices first .. first + count - 1.
    std::function<void(int first, int count, float* sinos)> read;
    // Worker thread: reconstructs count slices from sinos (which it may overwrite) into slices.
    std::function<void(int count, float* sinos, float* slices)> reconstruct;
    // Calling thread: appends count slices to the output, in order.
    std::function<void(int count, const float* slices)> write;
    // Optional: where the slices first .. first + count - 1 are reconstructed
    // (memory of the caller's, kept until written) instead of the pipeline's
    // own buffers; write then gets that pointer.
    std::function<float*(int first, int count)> destination;
};

// Runs the steps over `slices` slices in batches of `batch` (the last one may
// be smaller); sino_floats and slice_floats are the sizes of one slice's data.
void run_slice_pipeline(int slices, int batch, size_t sino_floats, size_t slice_floats, const SliceSteps& steps);
