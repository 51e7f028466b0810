#pragma once
// Batches of slices: the products read the matrix once for `lanes` slices.
//
// Layouts. A batch's sinograms are interleaved, the `lanes` samples of one
// (tilt, column) side by side: element (t * sinoX + c) * lanes + l is sample c of
// tilt t of slice l, so that one matrix entry's weight meets all lanes in one
// contiguous read. WBP writes its slices in the slice layout, slice l at
// l * npix; SIRT keeps its slices interleaved like the sinograms while it
// iterates (the forward projection gathers pixels) and lays them out at the end.
//
// Items of the per-item batched kernels are (matrix row, lane) pairs, in groups
// of kBatchRows consecutive rows of one lane: a GPU warp then reads consecutive
// matrix words, and the next lanes' warps find the same words in cache.
#include "gpu/gpu_layer.h"

constexpr int kBatchRows = 32;

// Items that cover rows 0 .. rows - 1 in every lane.
inline long long batch_items(int rows, int lanes) {
    return ((long long)rows + kBatchRows - 1) / kBatchRows * kBatchRows * lanes;
}

// Sample i of lane l of an interleaved batch sinogram.
SK_HD inline float lane_sample(const float* s, int lanes, int l, int i) { return tex_fetch(s, i * lanes + l); }

// Row and lane of an item.
SK_HD inline void batch_item(int item, int lanes, int& row, int& lane) {
    const int group = item / (kBatchRows * lanes);
    const int rest = item - group * kBatchRows * lanes;
    lane = rest / kBatchRows;
    row = group * kBatchRows + (rest - lane * kBatchRows);
}

// Interleaves `lanes` blocks of n floats (block l at src + l * n): item e < n.
struct cu_batch_interleave {
    float* dst;
    const float* src;
    int n, lanes;

    SK_HD void operator()(int e) const {
        if (e >= n) return;
        for (int l = 0; l < lanes; ++l) dst[(long long)e * lanes + l] = src[(long long)l * n + e];
    }
};

// The inverse: block l of dst gets lane l of src. Item e < n.
struct cu_batch_deinterleave {
    float* dst;
    const float* src;
    int n, lanes;

    SK_HD void operator()(int e) const {
        if (e >= n) return;
        for (int l = 0; l < lanes; ++l) dst[(long long)l * n + e] = src[(long long)e * lanes + l];
    }
};
