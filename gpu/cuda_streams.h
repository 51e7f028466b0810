#pragma once
// The CUDA stream behind a GpuStream (gpu_layer.h), for the backend's copies and
// the nvcc-compiled launches: a side stream is the runtime's own handle, and
// GPU_STREAM_DEFAULT (null) the default stream.
#include <cuda_runtime_api.h>

#include "gpu/gpu_layer.h"

inline cudaStream_t cuda_stream(GpuStream stream) { return reinterpret_cast<cudaStream_t>(stream); }
