#pragma once
// CUDA side of the launches: a __global__ template per shape, instantiated once
// per kernel functor in the .cu files.
#include <cuda_runtime.h>

#include "gpu/cuda_streams.h"
#include "gpu/cuda_verdicts.h"
#include "gpu/gpu_layer.h"

template <class K>
__global__ void sk_kernel_1d(K k) {
    k((int)(blockIdx.x * 256u + threadIdx.x));
}

// first_block_y: the part's first block along y (launch_parts_y).
template <class K>
__global__ void sk_kernel_2d(K k, unsigned first_block_y) {
    k((int)(blockIdx.x * 16u + threadIdx.x), (int)((first_block_y + blockIdx.y) * 16u + threadIdx.y));
}

// Any launch error (a shape the runtime refuses, a kernel that cannot run here, or
// a fault of an earlier one) ends the run.
inline void cuda_check_launch(const char* file, int line) {
    const cudaError_t e = cudaGetLastError();
    if (launch_verdict((int)e) == LAUNCH_FAILED) gpu_safe_call_fail(file, line, cudaGetErrorString(e));
}

template <class K>
void cuda_launch_1d(const LaunchShape& s, const K& k, GpuStream stream) {
    sk_kernel_1d<K><<<dim3(s.grid_x, s.grid_y, 1), dim3(256, 1, 1), 0, cuda_stream(stream)>>>(k);
    cuda_check_launch(__FILE__, __LINE__);
}

// The runtime takes at most kCudaGridYMost blocks along y: a longer y axis
// (a slice more than 1 048 560 pixels wide) is launched in parts, in order.
template <class K>
void cuda_launch_2d(const LaunchShape& s, const K& k, GpuStream stream) {
    for (int first = 0; first < s.grid_y; first += kCudaGridYMost) {
        const int part = s.grid_y - first < kCudaGridYMost ? s.grid_y - first : kCudaGridYMost;
        sk_kernel_2d<K><<<dim3(s.grid_x, part, 1), dim3(16, 16, 1), 0, cuda_stream(stream)>>>(k, (unsigned)first);
        cuda_check_launch(__FILE__, __LINE__);
    }
}

#define SK_CUDA_INSTANTIATE_1D(K) template void cuda_launch_1d<K>(const LaunchShape&, const K&, GpuStream);
#define SK_CUDA_INSTANTIATE_2D(K) template void cuda_launch_2d<K>(const LaunchShape&, const K&, GpuStream);
