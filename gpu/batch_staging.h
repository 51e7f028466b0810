#pragma once
// Device buffers of a batch of slices, and the copies that bring a batch's
// sinograms in (interleaved) and its slices out (gpu/batch_lanes.h). Buffers
// grow to the largest batch asked for and are kept until released, so a run
// allocates them once.
#include <cstddef>
#include <vector>

#include "gpu/device_array.h"
#include "gpu/gpu_layer.h"

struct BatchBuffer {
    DeviceArray<float> p;
    size_t floats = 0;
};

// Makes b hold at least n floats (its contents are lost when it grows).
float* batch_buffer(BatchBuffer& b, size_t n);

// The largest batch whose element indices (matrix items, interleaved sinogram
// and slice elements) stay below 2^31, at least 1.
int batch_lanes_limit(long long rows, long long sino_elems, long long npix);

// Slices first .. first + lanes - 1 of a batch.
struct SubBatch {
    int first, lanes;
};

// Splits a batch of `count` slices into consecutive sub-batches of equal size
// (the last may be smaller), at most `most` slices each; with `halves` (a GPU)
// of at most half the batch, rounded up, so that two streams take turns and
// the copies of one sub-batch overlap the kernels of the other. Sizes never
// grow along the list, so each stream's buffers grow only at its first use.
std::vector<SubBatch> sub_batches(int count, int most, bool halves);

// Interleaves `lanes` host sinograms of n floats (one after another) into the
// device buffer dst; staging holds the lane-major copy on a CUDA device, where
// both the copy and the kernel are queued on `stream`.
void batch_sinograms_in(const ExecChoices& x, float* dst, const float* host_sinos, int n, int lanes,
                        BatchBuffer& staging, GpuStream stream);
