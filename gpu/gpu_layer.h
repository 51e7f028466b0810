#pragma once
// The execution layer both reconstruction methods run on: one device (a CUDA
// GPU or the host's cores), device buffers, and launches of per-item kernel
// functions written once for both backends.
#include <cstddef>
#include <cstdint>

#include <atomic>

#include "gpu/fault_hook.h"
#include "gpu/host_floats.h"

#if defined(__CUDACC__)
#define SK_HD __host__ __device__
#else
#define SK_HD
#endif

enum GpuBackend { GPU_BACKEND_HOST = 0, GPU_BACKEND_CUDA = 1 };

// ---- device selection -----------------------------------------------------

// Host memory a run may still take, in Mb: the smallest of MemAvailable of
// /proc/meminfo (the physical memory where it cannot be read), the room its
// cgroups leave and its address-space limits leave (gpu/host_limits.h), at most
// host_memory_cap_mb when that is not negative (tests set it).
float host_available_memory_mb();
extern float host_memory_cap_mb;
// The limit that sets host_available_memory_mb: "host", "cgroup limit" or
// "address-space limit".
const char* host_memory_bound();

// Processes of this machine that use the selected device, and all the processes
// on the machine (the ranks of an MPI job on one node; both 1 for a lone run).
// The device's free memory and the host's available memory are shared among them.
struct DeviceShare {
    int device_processes = 1;
    int host_processes = 1;
};

// A device: its backend, its index there, the memory its plans may take (Mb:
// bytes / 1048576, single precision; the device's free memory when it was
// selected, divided among the processes that use it) and that share. A plan is
// made for one and runs on it, checked against its memory, whatever device was
// selected since.
struct GpuDevice {
    GpuBackend backend = GPU_BACKEND_HOST;
    int index = 0;
    float memory_mb = 1.0e9f;  // effectively unlimited for devices made by hand (tests)
    DeviceShare share = {};
    // Threads of the parallel regions of every thread bound to the device:
    // those of the thread that selected it (0, for devices made by hand: OpenMP's
    // own choice). OpenMP keeps the count per thread, so the slice pipeline's
    // worker takes it when it binds.
    int host_threads = 0;
};

// What a plan fixes when it is built, and its set-up and launches read: the
// backend that runs them, whether the host runs every kernel in its literal
// per-item form (tests compare the two) rather than its faster host form with
// the same results, and the threads of its host work (0: OpenMP's own choice).
// The plan's data layouts follow from these, so they cannot change under it.
struct ExecChoices {
    GpuBackend backend = GPU_BACKEND_HOST;
    bool literal_forms = false;
    int host_threads = 0;
    // True when launches run the host forms, so that plans may store their data
    // in the layouts those read and skip what only the literal forms need.
    bool host_forms() const { return backend == GPU_BACKEND_HOST && !literal_forms; }
};

// Selects the device (requested < 0: automatic choice), prints the device line
// (unless told not to: the other processes of an MPI job), binds the calling
// thread to it and returns it, for the plans made for it to keep; throws
// RunError with status 1 on selection errors.
GpuDevice gpu_select_device(int requested, bool print_device_line = true, DeviceShare share = {});
// Backend of the calling thread's device: the one it last bound to (the
// host's where it never bound). The buffer calls of the layer go to that backend.
GpuBackend gpu_backend();
// Binds the calling thread to device `device` of `backend` for tests (CUDA only
// where that device exists). Returns false if unavailable.
bool gpu_use_backend(GpuBackend backend, int device = 0);

// ---- threads ----------------------------------------------------------------
// The CUDA runtime's current device belongs to each thread, and a new thread
// starts on device 0: a thread must bind itself to a plan's device before its
// first call into the layer for the plan (plan_method, execute and free do),
// or its buffers and kernels land on device 0 beside the plan's matrices.

// Binds the calling thread to `device`: the layer's calls from this thread go
// to its backend, and on CUDA the runtime's current device becomes its index.
void gpu_bind_device(const GpuDevice& device);
// The device the calling thread last bound to (index -1: never bound).
GpuDevice gpu_bound_device();
// True when a CUDA device can be used in this process.
bool gpu_cuda_available();
// CUDA devices this process can use (0 without the CUDA backend).
int gpu_cuda_device_count();

// The comparison of the set-ups' memory check: required_mb is at most available_mb.
bool gpu_memory_fits(float required_mb, float available_mb);
// Memory check of a method set-up: when required_mb exceeds available_mb (its
// device's memory_mb), throws
// "GPU: %2.2f Mb. Not enough memory for run <method>: %2.2f Mb\n" (RunError, status 255).
void gpu_check_memory(float required_mb, float available_mb, const char* method);

// ---- buffers (guarded: an error throws the cudaSafeCall message, status 255) ----
// Buffers of the host device are zero-filled when allocated.

void* gpu_alloc_at(size_t bytes, const char* file, int line);
void gpu_free(void* p);  // null does nothing; result ignored
// Frees p on `backend`, whatever device the calling thread is bound to (DeviceArray).
void gpu_free_on(GpuBackend backend, void* p);
// Free memory of the calling thread's device in bytes (0 when it cannot be read).
size_t gpu_free_memory_bytes();
void gpu_copy_to_device_at(void* dst, const void* src, size_t bytes, const char* file, int line);
void gpu_copy_to_host_at(void* dst, const void* src, size_t bytes, const char* file, int line);
void gpu_zero_at(void* dst, size_t bytes, const char* file, int line);
// Zeroes a buffer just allocated: host buffers are handed out zero-filled, so
// only a CUDA device has work to do.
void gpu_zero_new_at(void* dst, size_t bytes, const char* file, int line);
// Waits for the queued kernels; a failed kernel ends the run like a guarded call.
void gpu_synchronize_at(const char* file, int line);
// Streams: queues of device work that run beside one another.
// GPU_STREAM_DEFAULT (null) is the queue of every call above; each plan makes
// its own side streams (gpu_stream_create), whose work starts after the
// default stream's earlier work and runs in order within its stream only, so a
// side stream's copies overlap another one's kernels. The host backend does
// every call at once, in call order, and its streams are all null.
struct GpuStreamQueue;  // a backend's stream, opaque
using GpuStream = GpuStreamQueue*;
inline constexpr GpuStream GPU_STREAM_DEFAULT = nullptr;
// A new side stream on the calling thread's device; released by gpu_stream_destroy
// (null does nothing), which lets its queued work finish first.
GpuStream gpu_stream_create_at(const char* file, int line);
void gpu_stream_destroy(GpuStream stream);
// Queued on `stream`; errors found when queuing end the run like a guarded call,
// and errors of the work itself are reported by gpu_stream_synchronize. Host
// memory from gpu_host_floats makes the copies asynchronous; pageable memory
// is accepted too (the runtime then copies before returning: correct, no overlap).
void gpu_copy_to_device_async_at(void* dst, const void* src, size_t bytes, GpuStream stream, const char* file,
                                 int line);
void gpu_copy_to_host_async_at(void* dst, const void* src, size_t bytes, GpuStream stream, const char* file,
                               int line);
void gpu_zero_async_at(void* dst, size_t bytes, GpuStream stream, const char* file, int line);
// Waits for the work queued on `stream`; a failed copy or kernel ends the run like a guarded call.
void gpu_stream_synchronize_at(GpuStream stream, const char* file, int line);
// Host memory for data that crosses to the device every slice: page-locked on
// a CUDA device (plain memory when that fails, or on the host device), and
// zeroed. Throws "Out of memory for the slice buffers." when no memory is left.
HostFloats gpu_host_floats(size_t n);

#define gpu_alloc(bytes) gpu_alloc_at((bytes), __FILE__, __LINE__)
#define gpu_copy_to_device(dst, src, bytes) gpu_copy_to_device_at((dst), (src), (bytes), __FILE__, __LINE__)
#define gpu_copy_to_host(dst, src, bytes) gpu_copy_to_host_at((dst), (src), (bytes), __FILE__, __LINE__)
#define gpu_zero(dst, bytes) gpu_zero_at((dst), (bytes), __FILE__, __LINE__)
#define gpu_zero_new(dst, bytes) gpu_zero_new_at((dst), (bytes), __FILE__, __LINE__)
#define gpu_synchronize() gpu_synchronize_at(__FILE__, __LINE__)
#define gpu_copy_to_device_async(dst, src, bytes, stream) \
    gpu_copy_to_device_async_at((dst), (src), (bytes), (stream), __FILE__, __LINE__)
#define gpu_copy_to_host_async(dst, src, bytes, stream) \
    gpu_copy_to_host_async_at((dst), (src), (bytes), (stream), __FILE__, __LINE__)
#define gpu_zero_async(dst, bytes, stream) gpu_zero_async_at((dst), (bytes), (stream), __FILE__, __LINE__)
#define gpu_stream_synchronize(stream) gpu_stream_synchronize_at((stream), __FILE__, __LINE__)
#define gpu_stream_create() gpu_stream_create_at(__FILE__, __LINE__)

// Throws "cudaSafeCall() Runtime API error in file <%s>, line %i : %s.\n" (status 255).
[[noreturn]] void gpu_safe_call_fail(const char* file, int line, const char* error_text);

// ---- reads and atomics inside kernels --------------------------------------

// Read-only fetch of element i of a bound sinogram or slice buffer.
SK_HD inline float tex_fetch(const float* p, int i) {
#if defined(__CUDA_ARCH__)
    return __ldg(p + i);
#else
    return p[i];
#endif
}

// Atomic single-precision add: a compare-and-swap retry loop on the 32-bit word.
SK_HD inline void atomic_add_float(float* p, float v) {
#if defined(__CUDA_ARCH__)
    unsigned int* word = reinterpret_cast<unsigned int*>(p);
    unsigned int old = *word, expected;
    do {
        expected = old;
        old = atomicCAS(word, expected, __float_as_uint(__uint_as_float(expected) + v));
    } while (old != expected);
#elif !defined(__CUDACC__)
    std::atomic_ref<float> ref(*p);
    float old = ref.load(std::memory_order_relaxed);
    while (!ref.compare_exchange_weak(old, old + v, std::memory_order_relaxed)) {
    }
#endif
}

// ---- launches ---------------------------------------------------------------

// Grid and block of a launch. 1-D kernels: blocks of 256 along x; 2-D: 16 x 16.
struct LaunchShape {
    int grid_x, grid_y;
    int block_x, block_y;
};

// Block counts in integers (single precision would lose items above 2^24); 0 for n <= 0.
int grid_blocks_256(int n);
int grid_blocks_16(int n);
LaunchShape launch_shape_1d(int n);
LaunchShape launch_shape_2d(int nx, int ny);
// A launch with no items does nothing; any other shape runs in full on every
// backend (the CUDA runtime takes at most kCudaGridYMost blocks along y, so a
// CUDA launch with more goes in launch_parts_y parts along y).
bool launch_shape_accepted(const LaunchShape& s);
inline constexpr int kCudaGridYMost = 65535;
int launch_parts_y(const LaunchShape& s);
// Items are numbered with 32-bit signed indices: a launch of more items along
// an axis than they hold ends the run with
// "GPU: a launch of %lld items is beyond 32-bit item indices\n" (status 255).
void gpu_check_launch_items(long long n);

// Kernel functors: 1-D ones have `SK_HD void operator()(int r) const` with
// r = blockIdx.x*256 + threadIdx.x; 2-D ones `SK_HD void operator()(int gx, int gy) const`
// with gx = blockIdx.x*16 + threadIdx.x and gy = blockIdx.y*16 + threadIdx.y.
// Every functor tests its own coordinates against its sizes.

#if !defined(__CUDACC__)
// The host-side dispatch below is C++20 and compiled only by the host compiler;
// the .cu files need just the functors and cuda_launch.cuh.

// Literal per-item form on the host: every item of the grid, threads in parallel.
template <class K>
void host_items_1d(const LaunchShape& s, const K& k) {
    const long long n = (long long)s.grid_x * s.block_x;
#pragma omp parallel for schedule(static)
    for (long long r = 0; r < n; ++r) k((int)r);
}

template <class K>
void host_items_2d(const LaunchShape& s, const K& k) {
    const long long nx = (long long)s.grid_x * s.block_x;
    const long long ny = (long long)s.grid_y * s.block_y;
#pragma omp parallel for collapse(2) schedule(static)
    for (long long gy = 0; gy < ny; ++gy)
        for (long long gx = 0; gx < nx; ++gx) k((int)gx, (int)gy);
}

// Host backend: a functor may offer a faster host form with the same results
// (`void host_run(const LaunchShape&) const`); otherwise, or where the plan
// chose the literal forms (tests), the literal form runs.
template <class K>
void host_launch_1d(const ExecChoices& x, const LaunchShape& s, const K& k) {
    if constexpr (requires { k.host_run(s); })
        if (!x.literal_forms) return k.host_run(s);
    host_items_1d(s, k);
}

template <class K>
void host_launch_2d(const ExecChoices& x, const LaunchShape& s, const K& k) {
    if constexpr (requires { k.host_run(s); })
        if (!x.literal_forms) return k.host_run(s);
    host_items_2d(s, k);
}

#if defined(SKARBEL_HAVE_CUDA)
// Defined in gpu/cuda_launch.cuh and instantiated, once per kernel functor, in a .cu file
// (SK_CUDA_INSTANTIATE_1D / _2D). Every launch error ends the run with the cudaSafeCall
// message.
template <class K> void cuda_launch_1d(const LaunchShape& s, const K& k, GpuStream stream);
template <class K> void cuda_launch_2d(const LaunchShape& s, const K& k, GpuStream stream);
#endif

// Launch n items in 1-D blocks of 256 on the plan's backend (queued on `stream` on CUDA).
template <class K>
void gpu_launch_1d(const ExecChoices& x, long long n, const K& k, GpuStream stream = GPU_STREAM_DEFAULT) {
    gpu_check_launch_items(n);
    const LaunchShape s = launch_shape_1d((int)n);
    if (!launch_shape_accepted(s)) return;
#if defined(SKARBEL_HAVE_CUDA)
    if (x.backend == GPU_BACKEND_CUDA) { cuda_launch_1d(s, k, stream); return; }
#endif
    (void)stream;
    host_launch_1d(x, s, k);
}

// Launch nx x ny items in 2-D blocks of 16 x 16 (grid x covers nx, grid y covers ny).
template <class K>
void gpu_launch_2d(const ExecChoices& x, long long nx, long long ny, const K& k, GpuStream stream = GPU_STREAM_DEFAULT) {
    gpu_check_launch_items(nx);
    gpu_check_launch_items(ny);
    const LaunchShape s = launch_shape_2d((int)nx, (int)ny);
    if (!launch_shape_accepted(s)) return;
#if defined(SKARBEL_HAVE_CUDA)
    if (x.backend == GPU_BACKEND_CUDA) { cuda_launch_2d(s, k, stream); return; }
#endif
    (void)stream;
    host_launch_2d(x, s, k);
}
#endif  // !__CUDACC__
