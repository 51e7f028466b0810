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

namespace {

// Bytes of every buffer of one slice of a batch, and of its page-locked pipeline buffers.
long long bytes_per_slice(const BatchNeed& n) {
    return 4 * (n.sino_floats * n.sino_buffers + n.slice_floats * n.slice_buffers);
}

long long pinned_bytes_per_slice(const BatchNeed& n) {
    return 4LL * kPipelineBatches * (n.sino_floats + n.slice_floats);
}

// This process's part of the device's free memory and of the host's available memory.
long long device_part(const BatchRoom& r) { return r.device_free_bytes / std::max(1, r.device_processes); }
long long host_part(const BatchRoom& r) { return r.host_available_bytes / std::max(1, r.host_processes); }

// The most slices whose `per_slice` bytes fit in `room` (no limit when either is unknown).
long long fitting(long long room, long long per_slice, long long most) {
    return room > 0 && per_slice > 0 ? std::min(most, room / per_slice) : most;
}

}  // namespace

int batch_size_for(const BatchNeed& need, const BatchRoom& room) {
    const long long per_slice = bytes_per_slice(need);
    long long most = 16;
    if (room.gpu) {
        // Free memory that cannot be read allows a single slice.
        most = std::min(64LL, device_part(room) / 2 / std::max(1LL, per_slice));
        most = fitting(host_part(room) / 4, pinned_bytes_per_slice(need), most);
    } else {
        const long long cache = room.cache_bytes, memory = host_part(room);
        while (most > 1 && cache > 0 && 2 * most * 4 * need.sino_floats > cache) most /= 2;
        while (most > 1 && memory > 0 && 4 * most * per_slice > memory) most /= 2;
    }
    return (int)std::max(1LL, most);
}

int batch_size_fit_in(int requested, const BatchNeed& need, const BatchRoom& room) {
    long long most = requested;
    if (room.gpu) {
        most = fitting(device_part(room) / 2, bytes_per_slice(need), most);
        most = fitting(host_part(room) / 2, pinned_bytes_per_slice(need), most);
    } else {
        most = fitting(host_part(room) / 2, bytes_per_slice(need), most);
    }
    return (int)std::max(1LL, most);
}

BatchRoom batch_room_of(const GpuDevice& device) {
    BatchRoom r;
    r.device_processes = device.share.device_processes;
    r.host_processes = device.share.host_processes;
    r.host_available_bytes = (long long)host_available_memory_bytes();
    if (device.backend == GPU_BACKEND_CUDA) {
        r.gpu = true;
        r.device_free_bytes = (long long)gpu_free_memory_bytes();
        return r;
    }
    r.cache_bytes = host_last_level_cache_bytes();
    return r;
}
