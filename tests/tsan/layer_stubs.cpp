// The layer calls of the slice pipeline, without a device: page-locked buffers
// as plain memory.
#include <cstdlib>

#include "gpu/host_floats.h"

HostFloats gpu_host_floats(size_t n) {
    return HostFloats(static_cast<float*>(std::calloc(n > 0 ? n : 1, sizeof(float))), std::free);
}
