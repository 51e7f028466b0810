// CUDA instantiations of the layer's own kernels.
#include "gpu/cuda_launch.cuh"
#include "tests/gpu/layer_kernels.h"

SK_CUDA_INSTANTIATE_1D(FillCount1D)
SK_CUDA_INSTANTIATE_2D(FillCount2D)
SK_CUDA_INSTANTIATE_1D(ScaleCopy1D)
SK_CUDA_INSTANTIATE_1D(AtomicBins1D)
SK_CUDA_INSTANTIATE_2D(TransposeWithHostRun)
