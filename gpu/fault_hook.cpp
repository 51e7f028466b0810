#include "gpu/fault_hook.h"

std::atomic<GpuFaultHook> gpu_fault_hook{nullptr};
