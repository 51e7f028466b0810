#pragma once
// The tiled layout of a matrix of pixel rows, the layout the host forms read
// best. A product reads, for every entry of a pixel, a few samples near the
// pixel's detector position; the pixels of a small square tile meet only a
// short stretch of detector columns at each tilt, so while a tile is summed its
// samples for all tilts stay in the core's L2 cache, and its entries are one
// contiguous stretch of each array.
//
// The pixels (i, j), i < cols, j < rows, are cut into bands of tile_rows slice
// rows, each band into tiles of tile_cols columns, left to right (the last
// band and the last tile of a band may be smaller). Tiles are stored one after
// another; inside a tile the pixels are numbered row by row, and entry k of
// pixel q of a tile of P pixels whose first pixel is `first` lies at
// first * capacity + q + k * P. A tile of the whole slice (tile_rows or
// tile_cols 0) is the entry-major layout of the kernels: entry k of row
// r = j * cols + i at r + k * rows * cols.
#include <algorithm>

namespace host_tiles {

struct TileLayout {
    int rows = 0, cols = 0;             // pixel rows and columns the matrix covers
    int tile_rows = 0, tile_cols = 0;   // 0: the whole slice in one tile
    long long capacity = 0;             // entries per pixel
};

// Slice rows j0 .. j0 + h - 1, columns i0 .. i0 + w - 1; pixels first .. first + h * w - 1.
struct Tile {
    int j0, i0, h, w;
    long long first;
    long long pixels() const { return (long long)h * w; }
};

inline int band_rows(const TileLayout& L) { return L.tile_rows > 0 ? std::min(L.tile_rows, L.rows) : L.rows; }
inline int band_cols(const TileLayout& L) { return L.tile_cols > 0 ? std::min(L.tile_cols, L.cols) : L.cols; }

inline int band_count(const TileLayout& L) {
    const int h = band_rows(L);
    return h <= 0 || L.cols <= 0 ? 0 : (L.rows + h - 1) / h;
}
inline int tiles_per_band(const TileLayout& L) {
    const int w = band_cols(L);
    return w <= 0 ? 0 : (L.cols + w - 1) / w;
}
inline int tile_count(const TileLayout& L) { return band_count(L) * tiles_per_band(L); }

// Tile c of band b.
inline Tile band_tile(const TileLayout& L, int b, int c) {
    const int th = band_rows(L), tw = band_cols(L);
    const int j0 = b * th, i0 = c * tw;
    const int h = std::min(th, L.rows - j0), w = std::min(tw, L.cols - i0);
    return {j0, i0, h, w, (long long)j0 * L.cols + (long long)h * i0};
}

// Tile t in storage order.
inline Tile tile_at(const TileLayout& L, int t) {
    const int per = tiles_per_band(L);
    return band_tile(L, t / per, t % per);
}

// Where pixel (i, j) lies: its index in tile order (for per-pixel arrays such
// as the row lengths), its entry 0, and the distance between its entries.
struct Spot {
    long long pixel, entry0, stride;
};

// The same, given the band b and the tile c within it of the pixel.
inline Spot spot_in(const TileLayout& L, int b, int c, int j, int i) {
    const Tile t = band_tile(L, b, c);
    const long long q = (long long)(j - t.j0) * t.w + (i - t.i0);
    return {t.first + q, t.first * L.capacity + q, t.pixels()};
}

inline Spot spot_of(const TileLayout& L, int j, int i) {
    return spot_in(L, j / band_rows(L), i / band_cols(L), j, i);
}

// The slice index j * cols + i of pixel q of tile t.
inline long long slice_pixel(const TileLayout& L, const Tile& t, int q) {
    return (long long)(t.j0 + q / t.w) * L.cols + t.i0 + q % t.w;
}

// Calls fn(n, j, i) for pixels q0 .. q0 + count - 1 of tile t, n = q - q0,
// (i, j) the pixel in the slice.
template <class Fn>
inline void each_pixel(const Tile& t, int q0, int count, const Fn& fn) {
    int j = q0 / t.w, i = q0 - j * t.w;
    j += t.j0;
    for (int n = 0; n < count; ++n) {
        fn(n, j, t.i0 + i);
        if (++i == t.w) {
            i = 0;
            ++j;
        }
    }
}

// Calls fn(n, j, i, len) for each run of pixels of one slice row among pixels
// q0 .. q0 + count - 1 of tile t: pixels n .. n + len - 1 (counted from q0)
// are (i .. i + len - 1, j) in the slice.
template <class Fn>
inline void each_run(const Tile& t, int q0, int count, const Fn& fn) {
    int j = q0 / t.w, i = q0 - j * t.w;
    for (int n = 0; n < count;) {
        const int len = std::min(t.w - i, count - n);
        fn(n, t.j0 + j, t.i0 + i, len);
        n += len;
        i = 0;
        ++j;
    }
}

// Calls fn(from, to) for the pieces of columns lo .. hi - 1 of a slice row that
// lie in one tile each, left to right: each piece is consecutive pixels of its tile.
template <class Fn>
inline void each_piece(const TileLayout& L, int lo, int hi, const Fn& fn) {
    const int tw = band_cols(L);
    for (int from = lo; from < hi;) {
        const int to = std::min(hi, (from / tw + 1) * tw);
        fn(from, to);
        from = to;
    }
}

// The layout itself where it covers pixels, else the whole slice of rows x
// cols pixels in one tile (a kernel given no layout).
inline TileLayout or_whole(const TileLayout& L, int rows, int cols) {
    return L.rows > 0 || L.cols > 0 ? L : TileLayout{rows, cols, 0, 0, L.capacity};
}

// True when the layout is the entry-major one.
inline bool whole(const TileLayout& L) { return tile_count(L) <= 1; }

// Reorders per-pixel values from slice order (j * cols + i) to tile order.
void to_tile_order(const TileLayout& L, int* values);

}  // namespace host_tiles
