// CUDA instantiations of the SIRT kernels.
#include "gpu/cuda_launch.cuh"
#include "sirt/sirt_kernel.h"

SK_CUDA_INSTANTIATE_2D(cu_SIRT_matrix)
SK_CUDA_INSTANTIATE_2D(cu_SIRT_weights)
SK_CUDA_INSTANTIATE_2D(cu_SIRT_invertweights)
SK_CUDA_INSTANTIATE_1D(cu_SIRT_weightsinogram)
SK_CUDA_INSTANTIATE_2D(cu_SIRT_comperror)
SK_CUDA_INSTANTIATE_1D(cu_SIRT_product_kernel)
SK_CUDA_INSTANTIATE_1D(cu_SIRT_fwproduct_kernel)
