#pragma once
// The host layout of the half-slice matrix: its rows (the pixels of the half
// slice) stored tile by tile. Tiles of tile_rows x tile_cols pixels follow one
// another in row-major order (the last tiles of a row or column are cut
// short), and the pixels of a tile are row-major too. The back-projection of a
// tile reads each error sample for many of its pixels while it is in cache.
// A tile_rows of 0 is the plain layout, row j * cols + i for pixel (i, j).
#include <algorithm>

struct SirtTiles {
    int rows = 0, cols = 0;  // the half slice
    int tile_rows = 0, tile_cols = 0;
};

// The tiles the host backend uses: 16 x 16 pixels, whose sums of 16 lanes fill
// 32 KB, and whose error samples for all tilts fit a core's L2 cache.
inline SirtTiles sirt_host_tiles(int half_rows, int cols) { return {half_rows, cols, 16, 16}; }

// One tile: stored rows first .. first + height * width - 1 hold pixels
// (i0 .. i0 + width - 1, j0 .. j0 + height - 1), row-major.
struct SirtTile {
    int first, j0, i0, height, width;
};

inline bool sirt_tiled(const SirtTiles& t) { return t.tile_rows > 0 && t.tile_cols > 0; }

inline int sirt_tile_count(const SirtTiles& t) {
    if (!sirt_tiled(t)) return 0;
    return ((t.rows + t.tile_rows - 1) / t.tile_rows) * ((t.cols + t.tile_cols - 1) / t.tile_cols);
}

inline SirtTile sirt_tile_at(const SirtTiles& t, int index) {
    const int across = (t.cols + t.tile_cols - 1) / t.tile_cols;
    const int j0 = index / across * t.tile_rows, i0 = index % across * t.tile_cols;
    const int height = std::min(t.tile_rows, t.rows - j0), width = std::min(t.tile_cols, t.cols - i0);
    return {j0 * t.cols + i0 * height, j0, i0, height, width};
}

// The stored row of pixel (i, j) of a tiled layout.
inline int sirt_tile_row(const SirtTiles& t, int j, int i) {
    const int j0 = j / t.tile_rows * t.tile_rows, i0 = i / t.tile_cols * t.tile_cols;
    const int height = std::min(t.tile_rows, t.rows - j0), width = std::min(t.tile_cols, t.cols - i0);
    return j0 * t.cols + i0 * height + (j - j0) * width + (i - i0);
}

// The back-projection walks the stored rows in blocks of whole units: tiles,
// or single rows of the plain layout. Units of the layout, rows per unit, and
// the first stored row of unit u (nRows for u = units).
inline int sirt_units(const SirtTiles& t, int nRows) { return sirt_tiled(t) ? sirt_tile_count(t) : nRows; }
inline int sirt_unit_rows(const SirtTiles& t) { return sirt_tiled(t) ? t.tile_rows * t.tile_cols : 1; }
inline int sirt_unit_first(const SirtTiles& t, int u, int nRows) {
    if (u >= sirt_units(t, nRows)) return nRows;
    return sirt_tiled(t) ? sirt_tile_at(t, u).first : u;
}

// visit(row, pixel) for the stored rows of units u0 .. u1 - 1, in stored order;
// pixel is the slice element j * cols + i of the row.
template <class Visit>
void sirt_unit_pixels(const SirtTiles& t, int u0, int u1, Visit visit) {
    if (!sirt_tiled(t)) {
        for (int r = u0; r < u1; ++r) visit(r, r);
        return;
    }
    for (int u = u0; u < u1; ++u) {
        const SirtTile s = sirt_tile_at(t, u);
        int row = s.first;
        for (int j = s.j0; j < s.j0 + s.height; ++j)
            for (int i = s.i0; i < s.i0 + s.width; ++i) visit(row++, j * t.cols + i);
    }
}
