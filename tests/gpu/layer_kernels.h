#pragma once
// Kernels that exercise the layer (grids, bounds, copies, atomics, host forms) on
// every backend; instantiated for CUDA in tests/gpu/layer_kernels.cu.
#include "gpu/gpu_layer.h"

// Counts every item of the grid in *items and writes 3r + 1 to out[r] for r < n.
struct FillCount1D {
    float* out;
    float* items;
    int n;
    SK_HD void operator()(int r) const {
        atomic_add_float(items, 1.0f);
        if (r < n) out[r] = 3.0f * (float)r + 1.0f;
    }
};

// Counts every item of the grid in *items (unless null) and writes gx + 1000 gy
// to the element (gx, gy) of an nx x ny image, X fastest.
struct FillCount2D {
    float* out;
    float* items;
    int nx, ny;
    SK_HD void operator()(int gx, int gy) const {
        if (items) atomic_add_float(items, 1.0f);
        if (gx < nx && gy < ny) out[(size_t)gy * nx + gx] = (float)gx + 1000.0f * (float)gy;
    }
};

// out[r] = 2 in[r] + 1 for r < n, reading in through the read-only fetch.
struct ScaleCopy1D {
    float* out;
    const float* in;
    int n;
    SK_HD void operator()(int r) const {
        if (r < n) out[r] = 2.0f * tex_fetch(in, r) + 1.0f;
    }
};

// Item r < n adds values[r] into bins[r % nbins]: many items per element.
struct AtomicBins1D {
    float* bins;
    const float* values;
    int n, nbins;
    SK_HD void operator()(int r) const {
        if (r < n) atomic_add_float(&bins[r % nbins], values[r]);
    }
};

// Transposes an nx x ny image into ny x nx, with a row-wise host form.
struct TransposeWithHostRun {
    float* out;
    const float* in;
    int nx, ny;
    int* host_runs;
    SK_HD void operator()(int gx, int gy) const {
        if (gx < nx && gy < ny) out[gx * ny + gy] = in[gy * nx + gx];
    }
    void host_run(const LaunchShape&) const {
        ++*host_runs;
        for (int gy = 0; gy < ny; ++gy)
            for (int gx = 0; gx < nx; ++gx) out[gx * ny + gy] = in[gy * nx + gx];
    }
};
