// CUDA instantiations of the SIRT kernels.
#include "gpu/cuda_launch.cuh"
#include "sirt/sirt_kernel.h"

SK_CUDA_INSTANTIATE_2D(cu_SIRT_matrix)
SK_CUDA_INSTANTIATE_2D(cu_SIRT_weights)
SK_CUDA_INSTANTIATE_2D(cu_SIRT_invertweights)
