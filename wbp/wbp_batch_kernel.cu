// CUDA instantiations of the batched WBP products and the batch layout kernels.
#include "gpu/cuda_launch.cuh"
#include "wbp/wbp_batch_kernel.h"

SK_CUDA_INSTANTIATE_1D(cu_batch_interleave)
SK_CUDA_INSTANTIATE_1D(cu_batch_deinterleave)
SK_CUDA_INSTANTIATE_1D(cu_WBP_product_batch0)
SK_CUDA_INSTANTIATE_1D(cu_WBP_productsym1_batch)
SK_CUDA_INSTANTIATE_1D(cu_WBP_productsym2_batch)
SK_CUDA_INSTANTIATE_1D(cu_WBP_productsym3_batch)
