// CUDA instantiations of the batched SIRT kernels.
#include "gpu/cuda_launch.cuh"
#include "sirt/sirt_batch_kernel.h"

SK_CUDA_INSTANTIATE_1D(cu_SIRT_weightsinogram_batch)
SK_CUDA_INSTANTIATE_2D(cu_SIRT_comperror_batch)
SK_CUDA_INSTANTIATE_1D(cu_SIRT_product_batch)
SK_CUDA_INSTANTIATE_1D(cu_SIRT_fwproduct_batch)
