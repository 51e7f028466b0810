#pragma once
// The two backends behind the layer's functions, each a table of operations
// (GpuBackendOps); gpu_layer.cpp calls the table of the selected backend.
// Internal to gpu/.
#include <cstddef>
#include <cstdint>
#include <string>

#include "gpu/device_select.h"
#include "gpu/gpu_layer.h"

// The device a backend chose and activated, and its free memory then.
struct CudaSelection {
    int index;
    uint64_t free_bytes;
};

// One backend's operations. file and line name the caller, for error messages.
// Launches are templates over the kernel functors (gpu_layer.h), outside the table.
struct GpuBackendOps {
    // Devices: whether the backend has any (count set to their number; with
    // exit_on_error, an error of the count ends the run), the selection among
    // them, and the binding of the calling thread to one of them.
    bool (*present)(bool exit_on_error, int* count);
    CudaSelection (*select)(int requested, int count, bool print_device_line);
    void (*bind_thread)(int device);
    // Device memory.
    void* (*alloc)(size_t bytes, const char* file, int line);
    void (*free)(void* p);
    void (*to_device)(void* dst, const void* src, size_t bytes, const char* file, int line);
    void (*to_host)(void* dst, const void* src, size_t bytes, const char* file, int line);
    void (*zero)(void* dst, size_t bytes, const char* file, int line);
    // Zeroes a buffer fresh from alloc (the host's come zeroed).
    void (*zero_new)(void* dst, size_t bytes, const char* file, int line);
    void (*synchronize)(const char* file, int line);
    // The same on a stream, queued without waiting.
    void (*to_device_async)(void* dst, const void* src, size_t bytes, GpuStream stream, const char* file, int line);
    void (*to_host_async)(void* dst, const void* src, size_t bytes, GpuStream stream, const char* file, int line);
    void (*zero_async)(void* dst, size_t bytes, GpuStream stream, const char* file, int line);
    void (*stream_synchronize)(GpuStream stream, const char* file, int line);
    // A plan's side streams: made on the calling thread's device, destroyed once
    // their work is done (the host's are null: its calls finish before returning).
    GpuStream (*stream_create)(const char* file, int line);
    void (*stream_destroy)(GpuStream stream);
    // Page-locked host memory (null when it cannot be had, or the backend has none).
    void* (*pinned_alloc)(size_t bytes);
    void (*pinned_free)(void* p);
    // Free memory of the active device in bytes (0 when it cannot be read).
    size_t (*free_memory)();
};

const GpuBackendOps& host_backend_ops();
// Null when the build has no CUDA backend.
const GpuBackendOps* cuda_backend_ops();

// ---- host: the machine's own cores and memory ----

// Model name of the first processor in /proc/cpuinfo (a fallback text when absent).
std::string host_cpu_model_name();
uint64_t host_physical_memory_bytes();
// Memory this process may take, in bytes: the smallest of MemAvailable of
// /proc/meminfo (the physical memory where it cannot be read), its cgroup's room
// and its address-space room (process_memory_room).
uint64_t host_available_memory_bytes();
// One device: the CPU model, physical memory, hardware threads, major 1.
DeviceProps host_device_props();

void* host_buffer_alloc(size_t bytes, const char* file, int line);
void* host_buffer_try_alloc(size_t bytes);  // null where host_buffer_alloc fails
void host_buffer_free(void* p);
void host_buffer_copy(void* dst, const void* src, size_t bytes);
void host_buffer_zero(void* dst, size_t bytes);

// ---- CUDA runtime ----
#if defined(SKARBEL_HAVE_CUDA)

// Whether CUDA devices can be used (count set to their number): not without a driver,
// with no device, or with CUDA_VISIBLE_DEVICES set empty. Any other error of the
// device count is a device-selection error: with exit_on_error it is reported
// ("Cuda error in file ...", status 1), otherwise it counts as no device.
bool cuda_present(bool exit_on_error, int* count);

// Selects among the CUDA devices as gpu_select_device describes and activates the
// choice on the calling thread; ends the process on errors.
CudaSelection cuda_select_device(int requested, int count, bool print_device_line);
// Makes `device` the calling thread's current device; a failure ends the run like
// a guarded call.
void cuda_bind_thread(int device);

void* cuda_buffer_alloc(size_t bytes, const char* file, int line);
void cuda_buffer_free(void* p);
void cuda_buffer_to_device(void* dst, const void* src, size_t bytes, const char* file, int line);
void cuda_buffer_to_host(void* dst, const void* src, size_t bytes, const char* file, int line);
void cuda_buffer_zero(void* dst, size_t bytes, const char* file, int line);
void cuda_synchronize(const char* file, int line);
// The same on a stream (gpu_layer.h), queued without waiting.
void cuda_buffer_to_device_async(void* dst, const void* src, size_t bytes, GpuStream stream, const char* file,
                                 int line);
void cuda_buffer_to_host_async(void* dst, const void* src, size_t bytes, GpuStream stream, const char* file,
                               int line);
void cuda_buffer_zero_async(void* dst, size_t bytes, GpuStream stream, const char* file, int line);
void cuda_stream_synchronize(GpuStream stream, const char* file, int line);
// A blocking stream (its work waits for the default stream's earlier work).
GpuStream cuda_stream_create(const char* file, int line);
void cuda_stream_destroy(GpuStream stream);
// Page-locked host memory, which the device copies to and from at full speed
// (null when it cannot be had).
void* cuda_pinned_alloc(size_t bytes);
void cuda_pinned_free(void* p);
// Free memory of the active device in bytes (0 when it cannot be read).
size_t cuda_free_memory_bytes();
// The calls above that handle or ignore their own failure, and the device count,
// leave no error behind for the next launch to report as its own.

#endif
