// The layer's per-thread binding to a device, device selection,
// the guarded buffer operations dispatched to the backend, and launch shapes.
#include "gpu/gpu_layer.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include <omp.h>

#include "gpu/backend_ops.h"
#include "gpu/device_select.h"
#include "gpu/host_limits.h"
#include "io/fail.h"


namespace {

// The device each thread bound itself to (index -1: none): the layer's
// mirror of the CUDA runtime's own current device, which is kept per thread.
thread_local GpuDevice t_bound{.backend = GPU_BACKEND_HOST, .index = -1};

const char* base_name(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

int at_least_one(int n) { return n > 1 ? n : 1; }

const GpuBackendOps& ops_of(GpuBackend backend) {
    const GpuBackendOps* cuda = cuda_backend_ops();
    return backend == GPU_BACKEND_CUDA && cuda ? *cuda : host_backend_ops();
}

// The operations of the calling thread's backend.
const GpuBackendOps& ops() { return ops_of(gpu_backend()); }

// A fault a test asked for at this site ends the operation as a failed runtime call would.
void injected_fault_check(GpuFaultSite site, const char* file, int line) {
    if (gpu_fault_injected(site)) gpu_safe_call_fail(file, line, "injected fault");
}

}  // namespace

GpuDevice gpu_select_device(int requested, bool print_device_line, DeviceShare share) {
    share = {at_least_one(share.device_processes), at_least_one(share.host_processes)};
    GpuDevice device;
    device.share = share;
    device.host_threads = omp_get_max_threads();
    int count = 0;
    if (const GpuBackendOps* cuda = cuda_backend_ops(); cuda && cuda->present(true, &count)) {
        const CudaSelection s = cuda->select(requested, count, print_device_line);
        device.backend = GPU_BACKEND_CUDA;
        device.index = s.index;
        device.memory_mb = device_memory_mb(s.free_bytes / (uint64_t)share.device_processes);
    } else {
        // No usable GPU: the host's cores are the device.
        const std::vector<DeviceProps> devices = {host_device_props()};
        const DeviceChoice choice = device_choose(devices, requested);
        device_report(choice, devices, "", print_device_line);
        device.index = choice.index;
        device.memory_mb = host_available_memory_mb() / (float)share.device_processes;
    }
    gpu_bind_device(device);
    return device;
}

float host_memory_cap_mb = -1.0f;

const char* host_memory_bound() { return memory_bound_name(process_memory_room().bound); }

float host_available_memory_mb() {
    const float mb = device_memory_mb(host_available_memory_bytes());
    return host_memory_cap_mb >= 0 && host_memory_cap_mb < mb ? host_memory_cap_mb : mb;
}

GpuBackend gpu_backend() { return t_bound.backend; }

bool gpu_use_backend(GpuBackend backend, int device) {
    const bool cuda = backend == GPU_BACKEND_CUDA && gpu_cuda_available() && device >= 0 &&
                      device < gpu_cuda_device_count();
    if (backend != GPU_BACKEND_HOST && !cuda) return false;
    gpu_bind_device({.backend = backend, .index = device});
    return true;
}

void gpu_bind_device(const GpuDevice& device) {
    injected_fault_check(GPU_FAULT_BIND, __FILE__, __LINE__);
    ops_of(device.backend).bind_thread(device.index);
    t_bound = device;
    if (device.host_threads > 0) omp_set_num_threads(device.host_threads);
}

GpuDevice gpu_bound_device() { return t_bound; }

bool gpu_cuda_available() {
    static const bool available = [] {
        int count = 0;
        const GpuBackendOps* cuda = cuda_backend_ops();
        return cuda && cuda->present(false, &count);
    }();
    return available;
}

int gpu_cuda_device_count() {
    int count = 0;
    const GpuBackendOps* cuda = cuda_backend_ops();
    return cuda && cuda->present(false, &count) ? count : 0;
}

bool gpu_memory_fits(float required_mb, float available_mb) { return !(required_mb > available_mb); }

void gpu_check_memory(float required_mb, float available_mb, const char* method) {
    if (!gpu_memory_fits(required_mb, available_mb)) {
        failf("GPU: %2.2f Mb. Not enough memory for run %s: %2.2f Mb\n", (double)available_mb, method,
              required_mb);
    }
}

void gpu_safe_call_fail(const char* file, int line, const char* error_text) {
    failf("cudaSafeCall() Runtime API error in file <%s>, line %i : %s.\n", base_name(file), line, error_text);
}

// ---- buffers ----

void* gpu_alloc_at(size_t bytes, const char* file, int line) {
    injected_fault_check(GPU_FAULT_ALLOC, file, line);
    return ops().alloc(bytes, file, line);
}
void gpu_free(void* p) { ops().free(p); }
void gpu_free_on(GpuBackend backend, void* p) { ops_of(backend).free(p); }

void gpu_copy_to_device_at(void* dst, const void* src, size_t bytes, const char* file, int line) {
    injected_fault_check(GPU_FAULT_COPY_TO_DEVICE, file, line);
    ops().to_device(dst, src, bytes, file, line);
}

void gpu_copy_to_host_at(void* dst, const void* src, size_t bytes, const char* file, int line) {
    injected_fault_check(GPU_FAULT_COPY_TO_HOST, file, line);
    ops().to_host(dst, src, bytes, file, line);
}

void gpu_zero_at(void* dst, size_t bytes, const char* file, int line) { ops().zero(dst, bytes, file, line); }
void gpu_zero_new_at(void* dst, size_t bytes, const char* file, int line) { ops().zero_new(dst, bytes, file, line); }
void gpu_synchronize_at(const char* file, int line) { ops().synchronize(file, line); }

void gpu_copy_to_device_async_at(void* dst, const void* src, size_t bytes, GpuStream stream, const char* file,
                                 int line) {
    ops().to_device_async(dst, src, bytes, stream, file, line);
}

void gpu_copy_to_host_async_at(void* dst, const void* src, size_t bytes, GpuStream stream, const char* file,
                               int line) {
    ops().to_host_async(dst, src, bytes, stream, file, line);
}

void gpu_zero_async_at(void* dst, size_t bytes, GpuStream stream, const char* file, int line) {
    ops().zero_async(dst, bytes, stream, file, line);
}

GpuStream gpu_stream_create_at(const char* file, int line) { return ops().stream_create(file, line); }

void gpu_stream_destroy(GpuStream stream) {
    if (stream) ops().stream_destroy(stream);
}

void gpu_stream_synchronize_at(GpuStream stream, const char* file, int line) {
    ops().stream_synchronize(stream, file, line);
}

size_t gpu_free_memory_bytes() { return ops().free_memory(); }

// The block remembers how it was taken: page-locked by the backend, or a host buffer.
HostFloats gpu_host_floats(size_t n) {
    if (gpu_fault_injected(GPU_FAULT_HOST_ALLOC)) fail("Out of memory for the slice buffers.\n\n");
    const GpuBackendOps& backend = ops();
    void* p = backend.pinned_alloc(n * sizeof(float));
    if (p) {
        std::memset(p, 0, n * sizeof(float));
        return HostFloats(static_cast<float*>(p), backend.pinned_free);
    }
    // Otherwise a zero-filled host buffer, in huge pages where it is large.
    p = host_buffer_try_alloc((n > 0 ? n : 1) * sizeof(float));
    if (!p) fail("Out of memory for the slice buffers.\n\n");
    return HostFloats(static_cast<float*>(p), host_buffer_free);
}

// ---- launch shapes ----

int grid_blocks_256(int n) { return n <= 0 ? 0 : (n - 1) / 256 + 1; }
int grid_blocks_16(int n) { return n <= 0 ? 0 : (n - 1) / 16 + 1; }
LaunchShape launch_shape_1d(int n) { return {grid_blocks_256(n), 1, 256, 1}; }
LaunchShape launch_shape_2d(int nx, int ny) { return {grid_blocks_16(nx), grid_blocks_16(ny), 16, 16}; }

// Past the grid itself the runtime's limits are those of the blocks: at most
// 1024 threads; a y axis longer than it takes goes in parts (launch_parts_y).
bool launch_shape_accepted(const LaunchShape& s) {
    const bool grid_ok = s.grid_x >= 1 && s.grid_y >= 1;
    const bool block_ok = s.block_x >= 1 && s.block_y >= 1 && s.block_y <= 1024 &&
                          (long long)s.block_x * s.block_y <= 1024;
    return grid_ok && block_ok;
}

int launch_parts_y(const LaunchShape& s) { return s.grid_y <= 0 ? 0 : (s.grid_y - 1) / kCudaGridYMost + 1; }

void gpu_check_launch_items(long long n) {
    if (n > INT_MAX) failf("GPU: a launch of %lld items is beyond 32-bit item indices\n", n);
}
