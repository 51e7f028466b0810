#include "host_simd/host_tiles.h"

#include <cstddef>
#include <vector>

namespace host_tiles {

void to_tile_order(const TileLayout& L, int* values) {
    if (whole(L)) return;
    const std::vector<int> slice(values, values + (size_t)L.rows * L.cols);
    const int tiles = tile_count(L);
#pragma omp parallel for schedule(static)
    for (int n = 0; n < tiles; ++n) {
        const Tile t = tile_at(L, n);
        for (int q = 0; q < (int)t.pixels(); ++q) values[t.first + q] = slice[(size_t)slice_pixel(L, t, q)];
    }
}

}  // namespace host_tiles
