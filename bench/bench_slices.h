#pragma once
// The slices the product and set-up benchmarks reconstruct: 512 x 512 (thickness
// 512) from 61 tilts.
#include <vector>

#include "io/tilt_angles.h"

constexpr int kWidth = 512, kThickness = 512, kTilts = 61;

// Tilt-symmetric angles (angle(61 - t) = -angle(t)), so that level 3 runs as
// itself: -60, then -59 to 59 in steps of 2.
inline std::vector<a> bench_tilts() {
    std::vector<a> tilts(kTilts);
    for (int t = 0; t < kTilts; ++t) tilts[t] = tilt_record(t == 0 ? -60.0f : -59.0f + 2.0f * (t - 1));
    return tilts;
}
