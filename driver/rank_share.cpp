#include "driver/rank_share.h"

#include <algorithm>

int rank_threads(int node_cpus, int allowed_cpus, int ranks_on_node) {
    const int share = node_cpus / std::max(1, ranks_on_node);
    return std::max(1, std::min(share, allowed_cpus));
}

int rank_gpu(int requested, int local_rank, int gpu_count) {
    if (requested >= 0 || gpu_count <= 0) return requested;
    return local_rank % gpu_count;
}

DeviceShare rank_device_share(int requested, int local_rank, int local_ranks, int gpu_count) {
    const int ranks = std::max(1, local_ranks);
    if (requested >= 0 || gpu_count <= 0) return {ranks, ranks};
    const int device = std::max(0, local_rank) % gpu_count;
    return {std::max(1, (ranks - 1 - device) / gpu_count + 1), ranks};
}
