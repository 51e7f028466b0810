#pragma once
// The CUDA streams behind GpuStream (gpu_layer.h), shared by the backend's copies
// and the nvcc-compiled launches.
#include <cuda_runtime_api.h>

#include "gpu/gpu_layer.h"

// The default stream for GPU_STREAM_DEFAULT. The side streams are made at their
// first use, on the active device, and kept for the process; they are blocking
// streams, so their work waits for the default stream's earlier work (the matrix
// builds) and the default stream's later work waits for theirs.
cudaStream_t cuda_stream(GpuStream stream);
