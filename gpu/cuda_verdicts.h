#pragma once
// Decisions on CUDA runtime results, written as pure functions of the error codes so
// that they are tested on machines without a GPU. The codes are the runtime's
// cudaError_t values; cuda_backend.cpp checks them against the runtime's header.

enum CudaCode {
    CUDA_CODE_SUCCESS = 0,
    CUDA_CODE_INVALID_CONFIGURATION = 9,
    CUDA_CODE_STUB_LIBRARY = 34,
    CUDA_CODE_INSUFFICIENT_DRIVER = 35,
    CUDA_CODE_NO_DEVICE = 100,
};

enum LaunchVerdict { LAUNCH_RAN, LAUNCH_FAILED };

// The error found right after a kernel launch: any error means the kernel did not
// or will not run as asked (no kernel image for the device, too many registers for
// the block, a fault left by an earlier kernel) and ends the run. That includes an
// invalid configuration: the layer skips empty grids and launches a y axis beyond the
// runtime's limit in parts (launch_parts_y), so a refused shape that still reaches
// the runtime is a fault, and skipping it would leave a wrong result.
// Inline: the nvcc-compiled launches use it too.
inline LaunchVerdict launch_verdict(int code) { return code == CUDA_CODE_SUCCESS ? LAUNCH_RAN : LAUNCH_FAILED; }

// Whether falling back to the host after the device count failed with `code` deserves
// a warning: a GPU is present (its device node or driver directory exists) and the
// runtime did not merely report that there is no device.
bool cuda_fallback_warns(int code, bool gpu_present);

// True when the NVIDIA driver shows a GPU on this machine (/dev/nvidia0 or
// /proc/driver/nvidia exists).
bool nvidia_gpu_present();
