#pragma once
// How many slices the program reconstructs per matrix pass when the user does
// not say (--batch).

// Per slice of a batch: sino_floats and slice_floats are the floats of one
// sinogram and one slice; sino_buffers and slice_buffers how many of each the
// method and the driver hold per slice of the batch.
//
// Host: 16 (every lane of the widest vector forms serves a slice), fewer while
// the batch's sinograms exceed half the last-level cache (the products read
// them at random) or the batch's buffers a quarter of the available memory.
// CUDA: as many as half the device's free memory holds, at most 64.
// Always at least 1.
int batch_size_choice(long long sino_floats, long long slice_floats, int sino_buffers, int slice_buffers);

// A batch size asked for, lowered where its buffers would take more than half
// the available host memory (or, on a CUDA device, half its free memory): a
// larger batch gives the same result, so it is only made smaller, never refused.
int batch_size_fit(int requested, long long sino_floats, long long slice_floats, int sino_buffers,
                   int slice_buffers);

// Size of the host's last-level cache (0 when unknown).
long long host_last_level_cache_bytes();
