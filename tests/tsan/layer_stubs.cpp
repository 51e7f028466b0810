// The layer calls of the slice pipeline, without a device: page-locked buffers
// as plain memory.
#include <cstdlib>

float* gpu_host_floats(size_t n) { return static_cast<float*>(std::calloc(n > 0 ? n : 1, sizeof(float))); }
void gpu_host_free(float* p) { std::free(p); }
