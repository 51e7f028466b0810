#include "gpu/host_floats.h"

#include "gpu/fault_hook.h"

void* host_zeroed_try(size_t n, size_t size) {
    if (n == 0 || gpu_fault_injected(GPU_FAULT_HOST_ALLOC)) return nullptr;
    return std::calloc(n, size);
}
