#include "gpu/batch_staging.h"

#include <algorithm>
#include <climits>

#include "gpu/batch_lanes.h"
#include "gpu/gpu_layer.h"

float* batch_buffer(BatchBuffer& b, size_t n) {
    if (b.floats < n) {
        // Emptied first: an allocation that throws leaves no size without a buffer.
        b = BatchBuffer{};
        b.p = gpu_array(float, n);
        b.floats = n;
    }
    return b.p;
}

// Item counts stay below 2^29: as multiples of kBatchRows they are then exact
// in the single-precision grid arithmetic of the launches.
int batch_lanes_limit(long long rows, long long sino_elems, long long npix) {
    long long most = INT_MAX;
    if (rows > 0) most = std::min(most, (1LL << 29) / batch_items((int)rows, 1));
    for (long long n : {sino_elems, npix})
        if (n > 0) most = std::min(most, (long long)INT_MAX / n);
    return (int)std::max(1LL, most);
}

std::vector<SubBatch> sub_batches(int count, int most, bool halves) {
    const int size = std::max(1, std::min(most, halves ? count - count / 2 : count));
    std::vector<SubBatch> parts;
    for (int first = 0; first < count; first += size) parts.push_back({first, std::min(size, count - first)});
    return parts;
}

void batch_sinograms_in(const ExecChoices& x, float* dst, const float* host_sinos, int n, int lanes,
                        BatchBuffer& staging, GpuStream stream) {
    // The host backend reads the caller's sinograms where they are.
    const float* src = host_sinos;
    if (x.backend != GPU_BACKEND_HOST) {
        // One lane is already in the interleaved layout.
        if (lanes == 1) return gpu_copy_to_device_async(dst, host_sinos, (size_t)n * sizeof(float), stream);
        float* s = batch_buffer(staging, (size_t)n * lanes);
        gpu_copy_to_device_async(s, host_sinos, (size_t)n * lanes * sizeof(float), stream);
        src = s;
    }
    gpu_launch_1d(x, n, cu_batch_interleave{dst, src, n, lanes}, stream);
}
