#pragma once
// What one process of an MPI job takes of its node: host threads and a GPU.
#include "gpu/gpu_layer.h"

// Host threads of a rank: the node's CPUs divided among the ranks on the node,
// no more than the CPUs this process may run on, at least one.
int rank_threads(int node_cpus, int allowed_cpus, int ranks_on_node);

// Device number handed to the device selection: a requested one (>= 0) as it is;
// otherwise, where the node has GPUs, the rank's own, local_rank modulo their
// count, so the ranks of a node spread over its GPUs; else -1 (automatic).
int rank_gpu(int requested, int local_rank, int gpu_count);

// The processes of the node that share the device rank_gpu hands this rank, and
// those that share the node's memory (all its ranks): every rank of the node uses
// the same device when one is requested or when the node has no GPU (the host is
// the device); otherwise the ranks whose local rank is the same modulo the GPU count.
DeviceShare rank_device_share(int requested, int local_rank, int local_ranks, int gpu_count);
