#pragma once
// The host layout of the half-slice matrix: its rows (the pixels of the half
// slice) in the tile order of host_simd/host_tiles.h, each entry still at
// row + k * alignment_n. The back-projection of a tile reads each error sample
// for many of its pixels while it is in cache. A layout of the whole slice in
// one tile (or none given) is the plain one, row j * cols + i for pixel (i, j).
#include "host_simd/host_tiles.h"

// The tiles the host backend uses: 16 x 16 pixels, whose sums of 16 lanes fill
// 32 KB, and whose error samples for all tilts fit a core's L2 cache.
inline host_tiles::TileLayout sirt_host_tiles(int half_rows, int cols) { return {half_rows, cols, 16, 16, 0}; }

// The back-projection walks the stored rows in blocks of whole units: tiles,
// or single rows of the plain layout. Units of the layout, rows per unit, and
// the first stored row of unit u (nRows for u = units).
inline int sirt_units(const host_tiles::TileLayout& t, int nRows) {
    return host_tiles::whole(t) ? nRows : host_tiles::tile_count(t);
}
inline int sirt_unit_rows(const host_tiles::TileLayout& t) {
    return host_tiles::whole(t) ? 1 : t.tile_rows * t.tile_cols;
}
inline int sirt_unit_first(const host_tiles::TileLayout& t, int u, int nRows) {
    if (u >= sirt_units(t, nRows)) return nRows;
    return host_tiles::whole(t) ? u : (int)host_tiles::tile_at(t, u).first;
}

// visit(row, pixel) for the stored rows of units u0 .. u1 - 1, in stored order;
// pixel is the slice element j * cols + i of the row.
template <class Visit>
void sirt_unit_pixels(const host_tiles::TileLayout& t, int u0, int u1, Visit visit) {
    if (host_tiles::whole(t)) {
        for (int r = u0; r < u1; ++r) visit(r, r);
        return;
    }
    for (int u = u0; u < u1; ++u) {
        const host_tiles::Tile s = host_tiles::tile_at(t, u);
        host_tiles::each_pixel(s, 0, (int)s.pixels(),
                               [&](int n, int j, int i) { visit((int)s.first + n, j * t.cols + i); });
    }
}
