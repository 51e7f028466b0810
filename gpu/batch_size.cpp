#include "gpu/batch_size.h"

#include <unistd.h>

#include <algorithm>

#include "gpu/backend_ops.h"
#include "gpu/gpu_layer.h"

long long host_last_level_cache_bytes() {
    for (int name : {_SC_LEVEL3_CACHE_SIZE, _SC_LEVEL2_CACHE_SIZE}) {
        const long bytes = sysconf(name);
        if (bytes > 0) return bytes;
    }
    return 0;
}

int batch_size_choice(long long sino_floats, long long slice_floats, int sino_buffers, int slice_buffers) {
    const long long per_slice = 4 * (sino_floats * sino_buffers + slice_floats * slice_buffers);
    long long most = 16;
    if (gpu_backend() == GPU_BACKEND_CUDA)
        most = std::min(64LL, (long long)(gpu_free_memory_bytes() / 2) / std::max(1LL, per_slice));
    if (gpu_backend() == GPU_BACKEND_HOST) {
        const long long cache = host_last_level_cache_bytes(), memory = (long long)host_available_memory_bytes();
        while (most > 1 && cache > 0 && 2 * most * 4 * sino_floats > cache) most /= 2;
        while (most > 1 && memory > 0 && 4 * most * per_slice > memory) most /= 2;
    }
    return (int)std::max(1LL, most);
}

int batch_size_fit(int requested, long long sino_floats, long long slice_floats, int sino_buffers,
                   int slice_buffers) {
    const long long per_slice = 4 * (sino_floats * sino_buffers + slice_floats * slice_buffers);
    long long room = (long long)host_available_memory_bytes() / 2;
    if (gpu_backend() == GPU_BACKEND_CUDA) room = std::min(room, (long long)(gpu_free_memory_bytes() / 2));
    if (room <= 0 || per_slice <= 0) return std::max(1, requested);
    return (int)std::max(1LL, std::min((long long)requested, room / per_slice));
}
