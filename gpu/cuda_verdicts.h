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

enum LaunchVerdict { LAUNCH_RAN, LAUNCH_SKIPPED, LAUNCH_FAILED };

// The error found right after a kernel launch. Only a grid or block outside the
// runtime's limits (invalid configuration) is a launch refused for its shape, which
// is skipped without a message. Every other error means the kernel did not or will
// not run as asked: no kernel image for the device, too many registers for the
// block ("too many resources requested"), or a fault left by an earlier kernel.
// Inline: the nvcc-compiled launches use it too.
inline LaunchVerdict launch_verdict(int code) {
    if (code == CUDA_CODE_SUCCESS) return LAUNCH_RAN;
    if (code == CUDA_CODE_INVALID_CONFIGURATION) return LAUNCH_SKIPPED;
    return LAUNCH_FAILED;
}

// Whether falling back to the host after the device count failed with `code` deserves
// a warning: a GPU is present (its device node or driver directory exists) and the
// runtime did not merely report that there is no device.
bool cuda_fallback_warns(int code, bool gpu_present);

// True when the NVIDIA driver shows a GPU on this machine (/dev/nvidia0 or
// /proc/driver/nvidia exists).
bool nvidia_gpu_present();
