#pragma once
#include "gpu/gpu_layer.h"
// How many slices the program reconstructs per matrix pass when the user does
// not say (--batch).

// Per slice of a batch: sino_floats and slice_floats are the floats of one
// sinogram and one slice; sino_buffers and slice_buffers how many of each the
// method and the driver hold per slice of the batch.
struct BatchNeed {
    long long sino_floats, slice_floats;
    int sino_buffers, slice_buffers;
};

// The memory a batch may take, as this process sees it; a figure of 0 is unknown.
struct BatchRoom {
    bool gpu = false;                   // the method's buffers live on a CUDA device
    long long device_free_bytes = 0;    // free memory of that device
    long long host_available_bytes = 0;
    long long cache_bytes = 0;          // the host's last-level cache
    int device_processes = 1;           // processes that share the device
    int host_processes = 1;             // processes on the host
};

// The slice pipeline holds two batches of sinograms and slices in host memory,
// page-locked on a CUDA device (pinned pages cannot be swapped out or reclaimed).
constexpr int kPipelineBatches = 2;

// Host: 16 (every lane of the widest vector forms serves a slice), fewer while
// the batch's sinograms exceed half the last-level cache (the products read
// them at random) or the batch's buffers a quarter of the host memory available
// to this process (available / processes on the host).
// CUDA: as many as half the device's free memory held by this process (free /
// processes sharing the device) holds, at most 64, and no more than a quarter
// of this process's host memory holds of the pipeline's page-locked batches.
// Always at least 1.
int batch_size_for(const BatchNeed& need, const BatchRoom& room);

// A batch size asked for, lowered where its buffers would take more than half
// the host memory available to this process (on a CUDA device: its page-locked
// batches there, and the method's buffers in half the device memory free for
// this process): a larger batch gives the same result, so it is only made
// smaller, never refused.
int batch_size_fit_in(int requested, const BatchNeed& need, const BatchRoom& room);

// The room of `device` (its backend and the processes sharing it) and this
// machine now; the calling thread must be bound to it.
BatchRoom batch_room_of(const GpuDevice& device);

// Size of the host's last-level cache (0 when unknown).
long long host_last_level_cache_bytes();
