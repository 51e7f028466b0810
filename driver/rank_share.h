#pragma once
// What one process of an MPI job takes of its node: host threads and a GPU.

// Host threads of a rank: the node's CPUs divided among the ranks on the node,
// no more than the CPUs this process may run on, at least one.
int rank_threads(int node_cpus, int allowed_cpus, int ranks_on_node);

// Device number handed to the device selection: a requested one (>= 0) as it is;
// otherwise, where the node has GPUs, the rank's own, local_rank modulo their
// count, so the ranks of a node spread over its GPUs; else -1 (automatic).
int rank_gpu(int requested, int local_rank, int gpu_count);
