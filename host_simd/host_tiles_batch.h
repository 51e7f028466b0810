#pragma once
// The batched host products over a tiled matrix (host_simd/host_tiles.h): each
// tile is summed part by part for one group of lanes at a time with the
// accumulation loops of host_forms.h, so that the samples the tile reads
// stay in cache across its parts and the sums of a part stay in L2.
#include <algorithm>
#include <cstddef>

#include "host_simd/host_run.h"
#include "host_simd/host_tiles.h"

namespace host_tiles {

// Pixels b.r0 .. b.r0 + b.count - 1 of tile t: m holds the tile's arrays
// (entry k of pixel q at q + k * m.stride, the lengths from pixel 0 of the
// tile); any other per-entry array of the matrix starts at offset.
struct TilePart {
    Tile t;
    host_rows::Matrix m;
    size_t offset;
    host_rows::RowBlock b;
};

// The arrays of tile t of a matrix stored in layout L.
inline host_rows::Matrix tile_matrix(const TileLayout& L, const host_rows::Matrix& a, const Tile& t) {
    const size_t off = (size_t)(t.first * L.capacity);
    return {a.weights + off, a.columns + off, a.lengths + t.first, (size_t)t.pixels()};
}

// Runs part(forms, p, l0, width, acc) for every part of every tile and every
// group of lanes, with the forms and scratch of h; acc holds sums x p.b.count x
// width floats, zeroed. Tiles go to the threads one by one.
template <class Part>
void batch_tiles(host_rows::HostRun& h, const TileLayout& L, const host_rows::Matrix& a, int sums, int lanes,
                 const Part& part) {
    const host_rows::HostForms& f = *h.forms;
    const int width = host_rows::batch_group(lanes, f.widest);
    const int per = std::max(64, host_rows::kBatchSumFloats / std::max(1, sums * width));
    const host_rows::ThreadScratch scratch = host_rows::thread_scratch(h, (size_t)sums * per * width);
#pragma omp parallel for schedule(dynamic, 1)
    for (int n = 0; n < tile_count(L); ++n) {
        float* acc = scratch.part();
        TilePart p{tile_at(L, n), {}, 0, {}};
        p.m = tile_matrix(L, a, p.t);
        p.offset = (size_t)(p.t.first * L.capacity);
        const int pixels = (int)p.t.pixels();
        for (int l0 = 0; l0 < lanes;) {
            const int w = host_rows::batch_group(lanes - l0, f.widest);
            for (int q0 = 0; q0 < pixels; q0 += per) {
                p.b = host_rows::row_block(p.m.lengths, q0, std::min(per, pixels - q0));
                std::fill(acc, acc + (size_t)sums * p.b.count * w, 0.0f);
                part(f, p, l0, w, acc);
            }
            l0 += w;
        }
    }
}

}  // namespace host_tiles
