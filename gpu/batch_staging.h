#pragma once
// Device buffers of a batch of slices, and the copies that bring a batch's
// sinograms in (interleaved) and its slices out (gpu/batch_lanes.h). Buffers
// grow to the largest batch asked for and are kept until released, so a run
// allocates them once.
#include <cstddef>

struct BatchBuffer {
    float* p = nullptr;
    size_t floats = 0;
};

// Makes b hold at least n floats (its contents are lost when it grows).
float* batch_buffer(BatchBuffer& b, size_t n);
void batch_buffer_free(BatchBuffer& b);

// The largest batch whose element indices (matrix items, interleaved sinogram
// and slice elements) stay below 2^31, at least 1.
int batch_lanes_limit(long long rows, long long sino_elems, long long npix);

// Interleaves `lanes` host sinograms of n floats (one after another) into the
// device buffer dst; staging holds the lane-major copy on a CUDA device.
void batch_sinograms_in(float* dst, const float* host_sinos, int n, int lanes, BatchBuffer& staging);
