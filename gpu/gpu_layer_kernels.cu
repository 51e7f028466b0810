// CUDA instantiations of the layer's own kernels (placeholder).
#include "gpu/cuda_launch.cuh"
