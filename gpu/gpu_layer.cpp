// Minimal host-only layer, a placeholder until the full layer (device
// selection, CUDA backend) lands. Same interface.
#include "gpu/gpu_layer.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

float gpu_memory_mb = 1.0e9f;

void gpu_select_device(int) { fputs("Using device 0: host\n\n", stderr); }
GpuBackend gpu_backend() { return GPU_BACKEND_HOST; }
bool gpu_use_backend(GpuBackend backend) { return backend == GPU_BACKEND_HOST; }
bool gpu_cuda_available() { return false; }

void gpu_safe_call_fail(const char* file, int line, const char* error_text) {
    fprintf(stderr, "cudaSafeCall() Runtime API error in file <%s>, line %i : %s.\n", file, line, error_text);
    exit(-1);
}

void gpu_check_memory(float required_mb, const char* method) {
    if (required_mb > gpu_memory_mb) {
        fprintf(stderr, "GPU: %2.2f Mb. Not enough memory for run %s: %2.2f Mb\n", gpu_memory_mb, method, required_mb);
        exit(-1);
    }
}

void* gpu_alloc_at(size_t bytes, const char* file, int line) {
    if (bytes == 0) return nullptr;
    void* p = std::malloc(bytes);
    if (!p) gpu_safe_call_fail(file, line, "out of memory");
    return p;
}
void gpu_free(void* p) { std::free(p); }
void gpu_copy_to_device_at(void* dst, const void* src, size_t bytes, const char*, int) {
    if (bytes) std::memcpy(dst, src, bytes);
}
void gpu_copy_to_host_at(void* dst, const void* src, size_t bytes, const char*, int) {
    if (bytes) std::memcpy(dst, src, bytes);
}
void gpu_zero_at(void* dst, size_t bytes, const char*, int) {
    if (bytes) std::memset(dst, 0, bytes);
}
void gpu_synchronize() {}

int grid_blocks_256(int n) { return (int)ceilf((float)n * 0.00390625f); }
int grid_blocks_16(int n) { return (int)ceilf((float)n * 0.0625f); }
LaunchShape launch_shape_1d(int n) { return {grid_blocks_256(n), 1, 256, 1}; }
LaunchShape launch_shape_2d(int nx, int ny) { return {grid_blocks_16(nx), grid_blocks_16(ny), 16, 16}; }
bool launch_shape_accepted(const LaunchShape& s) { return s.grid_x > 0 && s.grid_y > 0 && s.grid_y <= 65535; }
