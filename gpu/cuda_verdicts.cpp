#include "gpu/cuda_verdicts.h"

#include <sys/stat.h>

bool cuda_fallback_warns(int code, bool gpu_present) {
    return gpu_present && code != CUDA_CODE_SUCCESS && code != CUDA_CODE_NO_DEVICE;
}

bool nvidia_gpu_present() {
    struct stat st;
    return stat("/dev/nvidia0", &st) == 0 || stat("/proc/driver/nvidia", &st) == 0;
}
