#pragma once
// Kernel tests run on every backend: the host always, CUDA where a device is found.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gpu/gpu_layer.h"

inline std::vector<GpuBackend> test_backends() { return {GPU_BACKEND_HOST, GPU_BACKEND_CUDA}; }

inline std::string backend_param_name(const testing::TestParamInfo<GpuBackend>& info) {
    return info.param == GPU_BACKEND_CUDA ? "cuda" : "host";
}

// Copies of test data to and from the current device (to_device allocates; gpu_free it).
template <class T>
std::vector<T> from_device(const T* p, size_t n) {
    std::vector<T> v(n);
    gpu_copy_to_host(v.data(), p, n * sizeof(T));
    return v;
}

template <class T>
T* to_device(const std::vector<T>& v) {
    T* p = static_cast<T*>(gpu_alloc(v.size() * sizeof(T)));
    gpu_copy_to_device(p, v.data(), v.size() * sizeof(T));
    return p;
}

// The choices of a plan on the calling thread's device, with the host forms.
inline ExecChoices bound_choices() { return {.backend = gpu_backend()}; }

// Makes the backend current for the test, or skips it with a message.
#define USE_BACKEND_OR_SKIP(backend)                                                   \
    do {                                                                               \
        if (!gpu_use_backend(backend)) GTEST_SKIP() << "no CUDA device on this machine"; \
    } while (0)

