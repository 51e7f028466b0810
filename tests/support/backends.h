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

// Makes the backend current for the test, or skips it with a message.
#define USE_BACKEND_OR_SKIP(backend)                                                   \
    do {                                                                               \
        if (!gpu_use_backend(backend)) GTEST_SKIP() << "no CUDA device on this machine"; \
    } while (0)

// Usage:
//   class MyKernel : public testing::TestWithParam<GpuBackend> {};
//   TEST_P(MyKernel, Case) { USE_BACKEND_OR_SKIP(GetParam()); ... }
//   INSTANTIATE_TEST_SUITE_P(Backends, MyKernel, testing::ValuesIn(test_backends()), backend_param_name);
