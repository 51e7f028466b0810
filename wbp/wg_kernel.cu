// CUDA instantiations of the weighted back-projection kernels.
#include "gpu/cuda_launch.cuh"
#include "wbp/wg_kernel.h"

SK_CUDA_INSTANTIATE_2D(cu_WBP_matrix0)
SK_CUDA_INSTANTIATE_2D(cu_WBP_matrix_single)
SK_CUDA_INSTANTIATE_2D(cu_WBP_matrixsym3)
