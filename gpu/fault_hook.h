#pragma once
// The one seam through which tests make allocations and device calls fail as
// they would on a machine short of memory or with a failing device. Null (the
// default, and always outside tests): nothing fails.
#include <atomic>

// Where a test may make the program fail: binding a thread to a device,
// allocating device memory, copying to the device or to the host, taking host
// memory for a set-up or the slice buffers, and making an FFTW plan or buffer.
enum GpuFaultSite {
    GPU_FAULT_BIND,
    GPU_FAULT_ALLOC,
    GPU_FAULT_COPY_TO_DEVICE,
    GPU_FAULT_COPY_TO_HOST,
    GPU_FAULT_HOST_ALLOC,
    GPU_FAULT_FFTW
};
// Asked before each such operation; true makes it fail as the operation
// itself would (the device calls with the cudaSafeCall message and the text
// "injected fault", the host and FFTW ones with their memory message).
using GpuFaultHook = bool (*)(GpuFaultSite site);
extern std::atomic<GpuFaultHook> gpu_fault_hook;

inline bool gpu_fault_injected(GpuFaultSite site) {
    const GpuFaultHook hook = gpu_fault_hook.load();
    return hook && hook(site);
}
