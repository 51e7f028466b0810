#pragma once
// Host form of the matrix builds. The per-pixel kernel bodies write a pixel's
// entries one per tilt, each a whole stride from the last; the stride is often a
// multiple of 4 KB, so all those words fall into the same few cache sets and
// nearly every write misses. Here tiles of consecutive pixels of one slice row
// take their tilts outermost: entry k of the tile's pixels is then written as
// runs of consecutive words. Each pixel still meets its tilts in order, so
// every entry, and every row length, is the kernel's.
#include <algorithm>

namespace host_rows {

constexpr int kTilePixels = 256;

// entry(t, j, i, k) adds the entries of tilt t to pixel (i, j), whose next
// entry is k, and returns how many it wrote (0, 1 or 2).
template <class Entry>
void build_in_tiles(int rows, int cols, int tilts, const Entry& entry) {
    const int tiles = (cols + kTilePixels - 1) / kTilePixels;
#pragma omp parallel for schedule(dynamic, 1)
    for (long long n = 0; n < (long long)rows * tiles; ++n) {
        const int j = (int)(n / tiles), i0 = (int)(n % tiles) * kTilePixels;
        const int count = std::min(kTilePixels, cols - i0);
        int k[kTilePixels] = {};
        for (int t = 0; t < tilts; ++t)
            for (int q = 0; q < count; ++q) k[q] += entry(t, j, i0 + q, k[q]);
    }
}

}  // namespace host_rows
