// CUDA backend: device queries and selection, device memory and copies through
// the CUDA runtime. Kernels and their launches are compiled by nvcc (gpu/*.cu).
#if defined(SKARBEL_HAVE_CUDA)

#include <cuda_runtime.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "gpu/backend_ops.h"
#include "gpu/cuda_streams.h"
#include "gpu/cuda_verdicts.h"
#include "io/fail.h"
#include "gpu/gpu_layer.h"

static_assert(CUDA_CODE_SUCCESS == (int)cudaSuccess);
static_assert(CUDA_CODE_INVALID_CONFIGURATION == (int)cudaErrorInvalidConfiguration);
static_assert(CUDA_CODE_STUB_LIBRARY == (int)cudaErrorStubLibrary);
static_assert(CUDA_CODE_INSUFFICIENT_DRIVER == (int)cudaErrorInsufficientDriver);
static_assert(CUDA_CODE_NO_DEVICE == (int)cudaErrorNoDevice);

// The CUDA architectures whose kernel images the build holds (CMake's list).
#if !defined(SKARBEL_CUDA_ARCHITECTURES)
#define SKARBEL_CUDA_ARCHITECTURES ""
#endif

namespace {

const char* this_file() {
    const char* slash = std::strrchr(__FILE__, '/');
    return slash ? slash + 1 : __FILE__;
}

// The device-selection check: a failed query or activation ends the run with status 1.
void selection_check(cudaError_t e, int line) {
    if (e == cudaSuccess) return;
    fail_status(1, "Cuda error in file '%s' in line %i : %s.\n", this_file(), line, cudaGetErrorString(e));
}

// Guarded calls on buffers: an error ends the run with status -1 under the caller's line.
// The runtime's last error is cleared first, or the thread's next launch (say,
// of a Python caller that goes on) would report this error as its own.
void safe_call(cudaError_t e, const char* file, int line) {
    if (e == cudaSuccess) return;
    (void)cudaGetLastError();
    gpu_safe_call_fail(file, line, cudaGetErrorString(e));
}

// cudaDeviceProp lost its clockRate field in CUDA 13; the attribute still reports it.
cudaError_t read_properties(int device, DeviceProps* out) {
    cudaDeviceProp prop;
    std::memset(&prop, 0, sizeof prop);
    cudaError_t e = cudaGetDeviceProperties(&prop, device);
    int clock_khz = 0;
    const cudaError_t e_clock = cudaDeviceGetAttribute(&clock_khz, cudaDevAttrClockRate, device);
    if (e == cudaSuccess) e = e_clock;
    prop.name[sizeof prop.name - 1] = '\0';
    out->name = prop.name;
    out->totalGlobalMem = (uint64_t)prop.totalGlobalMem;
    out->clockRate = clock_khz;
    out->multiProcessorCount = prop.multiProcessorCount;
    out->major = prop.major;
    out->minor = prop.minor;
    return e;
}

bool no_driver_or_device(cudaError_t e) {
    return e == cudaErrorInsufficientDriver || e == cudaErrorNoDevice || e == cudaErrorStubLibrary;
}

// A GPU the runtime cannot use (say, a driver older than the runtime needs) must not
// pass unnoticed when the run falls back to the host.
void warn_fallback_once(cudaError_t e) {
    static std::atomic<bool> warned{false};  // selections may come from several threads
    if (warned.load() || !cuda_fallback_warns((int)e, nvidia_gpu_present()) || warned.exchange(true)) return;
    fprintf(stderr, "warning: the CUDA runtime cannot use this machine's GPU (%s); running on the host.\n",
            cudaGetErrorString(e));
}

}  // namespace

bool cuda_present(bool exit_on_error, int* count) {
    *count = 0;
    const char* visible = std::getenv("CUDA_VISIBLE_DEVICES");
    if (visible && visible[0] == '\0') return false;
    int n = 0;
    const cudaError_t e = cudaGetDeviceCount(&n);
    const int line = __LINE__ - 1;
    if (e != cudaSuccess) {
        (void)cudaGetLastError();
        if (!no_driver_or_device(e) && exit_on_error) selection_check(e, line);
        warn_fallback_once(e);
        return false;
    }
    *count = n;
    return n > 0;
}

CudaSelection cuda_select_device(int requested, int count, bool print_device_line) {
    // The automatic scan ignores failed reads (such a device has no speed); only a
    // failed read of the device finally chosen is an error.
    std::vector<DeviceProps> devices((size_t)count);
    std::vector<cudaError_t> read_errors((size_t)count, cudaSuccess);
    int read_line = 0;
    for (int k = 0; k < count; ++k) {
        read_errors[(size_t)k] = read_properties(k, &devices[(size_t)k]);
        read_line = __LINE__ - 1;
    }
    (void)cudaGetLastError();
    const DeviceChoice choice = device_choose(devices, requested, SKARBEL_CUDA_ARCHITECTURES);
    if (choice.index >= 0) selection_check(read_errors[(size_t)choice.index], read_line);
    device_report(choice, devices, SKARBEL_CUDA_ARCHITECTURES, print_device_line);
    selection_check(cudaSetDevice(choice.index), __LINE__);
    // What the set-ups may still allocate: the free memory now, not the total.
    size_t free_bytes = 0, total_bytes = 0;
    selection_check(cudaMemGetInfo(&free_bytes, &total_bytes), __LINE__);
    return {choice.index, (uint64_t)free_bytes};
}

void cuda_bind_thread(int device) { safe_call(cudaSetDevice(device), __FILE__, __LINE__); }

void* cuda_buffer_alloc(size_t bytes, const char* file, int line) {
    void* p = nullptr;
    safe_call(cudaMalloc(&p, bytes), file, line);
    return p;
}

// A failed free (say, of a buffer of a context already torn down) leaves its error
// for the next launch to report; clear it, since the run goes on.
void cuda_buffer_free(void* p) {
    if (cudaFree(p) != cudaSuccess) (void)cudaGetLastError();
}

void cuda_buffer_to_device(void* dst, const void* src, size_t bytes, const char* file, int line) {
    safe_call(cudaMemcpy(dst, src, bytes, cudaMemcpyHostToDevice), file, line);
}

void cuda_buffer_to_host(void* dst, const void* src, size_t bytes, const char* file, int line) {
    safe_call(cudaMemcpy(dst, src, bytes, cudaMemcpyDeviceToHost), file, line);
}

void cuda_buffer_zero(void* dst, size_t bytes, const char* file, int line) {
    safe_call(cudaMemset(dst, 0, bytes), file, line);
}

// A kernel that faulted reports here, under the caller's line.
void cuda_synchronize(const char* file, int line) { safe_call(cudaDeviceSynchronize(), file, line); }

GpuStream cuda_stream_create(const char* file, int line) {
    cudaStream_t s = nullptr;
    safe_call(cudaStreamCreate(&s), file, line);
    return reinterpret_cast<GpuStream>(s);
}

// Work still queued on the stream finishes first; a failure (a context torn
// down) is cleared, as for a free.
void cuda_stream_destroy(GpuStream stream) {
    if (cudaStreamDestroy(cuda_stream(stream)) != cudaSuccess) (void)cudaGetLastError();
}

// Page-locked host memory makes these copies asynchronous; with pageable memory the
// runtime copies before returning, which is still correct.
void cuda_buffer_to_device_async(void* dst, const void* src, size_t bytes, GpuStream stream, const char* file,
                                 int line) {
    safe_call(cudaMemcpyAsync(dst, src, bytes, cudaMemcpyHostToDevice, cuda_stream(stream)), file, line);
}

void cuda_buffer_to_host_async(void* dst, const void* src, size_t bytes, GpuStream stream, const char* file,
                               int line) {
    safe_call(cudaMemcpyAsync(dst, src, bytes, cudaMemcpyDeviceToHost, cuda_stream(stream)), file, line);
}

void cuda_buffer_zero_async(void* dst, size_t bytes, GpuStream stream, const char* file, int line) {
    safe_call(cudaMemsetAsync(dst, 0, bytes, cuda_stream(stream)), file, line);
}

// A copy or kernel of the stream that failed reports here, under the caller's line.
void cuda_stream_synchronize(GpuStream stream, const char* file, int line) {
    safe_call(cudaStreamSynchronize(cuda_stream(stream)), file, line);
}

// Without page-locked memory the pipeline takes plain memory and goes on, so the
// failure must not stay behind as the last error.
void* cuda_pinned_alloc(size_t bytes) {
    void* p = nullptr;
    if (cudaMallocHost(&p, bytes) == cudaSuccess) return p;
    (void)cudaGetLastError();
    return nullptr;
}

void cuda_pinned_free(void* p) {
    if (cudaFreeHost(p) != cudaSuccess) (void)cudaGetLastError();
}

size_t cuda_free_memory_bytes() {
    size_t free_bytes = 0, total = 0;
    if (cudaMemGetInfo(&free_bytes, &total) == cudaSuccess) return free_bytes;
    (void)cudaGetLastError();
    return 0;
}

const GpuBackendOps* cuda_backend_ops() {
    static const GpuBackendOps ops{cuda_present,
                                   cuda_select_device,
                                   cuda_bind_thread,
                                   cuda_buffer_alloc,
                                   cuda_buffer_free,
                                   cuda_buffer_to_device,
                                   cuda_buffer_to_host,
                                   cuda_buffer_zero,
                                   cuda_buffer_zero,
                                   cuda_synchronize,
                                   cuda_buffer_to_device_async,
                                   cuda_buffer_to_host_async,
                                   cuda_buffer_zero_async,
                                   cuda_stream_synchronize,
                                   cuda_stream_create,
                                   cuda_stream_destroy,
                                   cuda_pinned_alloc,
                                   cuda_pinned_free,
                                   cuda_free_memory_bytes};
    return &ops;
}

#else

#include "gpu/backend_ops.h"

const GpuBackendOps* cuda_backend_ops() { return nullptr; }

#endif  // SKARBEL_HAVE_CUDA
