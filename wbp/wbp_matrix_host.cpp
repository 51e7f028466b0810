// Host forms of the WBP matrix builds (host_simd/matrix_build.h): the same
// positions, detector test and entries (wbp_entry) as the kernel bodies in
// wg_kernel.h, stored in the kernel's tiled layout (host_simd/host_tiles.h;
// none given: entry-major, as the kernel bodies store them). The buffers come
// zero-filled, so entries beyond a row's length are left as they are.
#include <algorithm>
#include <cstddef>
#include <vector>

#include "host_simd/matrix_build.h"
#include "host_simd/host_tiles.h"
#include "wbp/wg_kernel.h"

namespace {

// What a level stores per tilt: a pair of entries (level 0), or one entry with
// or without the mirrored column.
enum class Stores { pair, single, mirrored };

template <Stores S>
struct Build {
    float* d_matrix;
    int* d_column;
    int* d_column2;
    const a* d_tangles;
    host_tiles::TileLayout tiles;
    const int* tile_of_column;  // i / tile columns, so that a pixel's place takes no division
    int sinoX;
    float w_2, r_2, h_2, factor;
    static constexpr int per_tilt = S == Stores::pair ? 2 : 1;

    float position(const a& tilt, float z, int i) const { return detector_position(tilt, (float)i - w_2, z, r_2); }
    bool on(int t, int j, int i) const { return wbp_on_detector(position(d_tangles[t], (float)j - h_2, i), sinoX); }

    // Columns lo .. hi - 1 of row j lie in one tile: entry k of each is one
    // run of consecutive words.
    void piece(int t, int k, int j, int lo, int hi) const {
        const int band = j / host_tiles::band_rows(tiles);
        const host_tiles::Spot p = host_tiles::spot_in(tiles, band, tile_of_column[lo], j, lo);
        const size_t e = (size_t)(p.entry0 + k * p.stride);
        float* __restrict m = d_matrix + e;
        float* __restrict m1 = S == Stores::pair ? d_matrix + e + p.stride : nullptr;
        int* __restrict c = d_column + e;
        int* __restrict c1 = S == Stores::pair ? d_column + e + p.stride : nullptr;
        int* __restrict c2 = S == Stores::mirrored ? d_column2 + e : nullptr;
        const a tilt = d_tangles[t];
        const float z = (float)j - h_2;
        for (int n = 0; n < hi - lo; ++n) {
            const WbpEntry v = wbp_entry(position(tilt, z, lo + n), t, sinoX, factor);
            m[n] = v.weight;
            c[n] = v.column;
            if constexpr (S == Stores::pair) {
                m1[n] = v.next_weight;
                c1[n] = v.column + 1;
            }
            if constexpr (S == Stores::mirrored) c2[n] = v.column2;
        }
    }

    void run(int t, int k, int j, int lo, int hi) const {
        host_tiles::each_piece(tiles, lo, hi, [&](int from, int to) { piece(t, k, j, from, to); });
    }

    void one(int t, int k, int j, int i) const { piece(t, k, j, i, i + 1); }
};

// Builds the rows of a level into its layout: the lengths are added in slice
// order, then put in tile order.
template <Stores S>
void build(int rows, int cols, int tilts, int* d_length, Build<S> b) {
    std::vector<int> tile_of_column(std::max(cols, 0));
    for (int i = 0; i < cols; ++i) tile_of_column[i] = i / host_tiles::band_cols(b.tiles);
    b.tile_of_column = tile_of_column.data();
    host_rows::build_rows(rows, cols, tilts, d_length, b);
    host_tiles::to_tile_order(b.tiles, d_length);
}

}  // namespace

void cu_WBP_matrix0::host_run(const LaunchShape&) const {
    if (Ntilts == 0) return;
    const host_tiles::TileLayout L = host_tiles::or_whole(tiles, reconsY, reconsX);
    build(reconsY, reconsX, Ntilts, d_length,
          Build<Stores::pair>{d_matrix, d_column, nullptr, d_tangles, L, nullptr, sinoX, w_2, r_2, h_2, factor});
}

void cu_WBP_matrix_single::host_run(const LaunchShape&) const {
    if (Ntilts == 0) return;
    const host_tiles::TileLayout L = host_tiles::or_whole(tiles, reconsY, reconsX);
    if (!d_column2)
        build(reconsY, reconsX, Ntilts, d_length,
              Build<Stores::single>{d_matrix, d_column, nullptr, d_tangles, L, nullptr, sinoX, w_2, r_2, h_2, factor});
    else
        build(reconsY, reconsX, Ntilts, d_length,
              Build<Stores::mirrored>{d_matrix, d_column, d_column2, d_tangles, L, nullptr, sinoX, w_2, r_2, h_2,
                                      factor});
}

void cu_WBP_matrixsym3::host_run(const LaunchShape&) const {
#pragma omp parallel for schedule(static)
    for (int j = 0; j < reconsY; ++j) {
        int* __restrict row1 = d_row1 + reconsX * j;
        int* __restrict row2 = d_row2 + reconsX * j;
        for (int i = 0; i < reconsX; ++i) {
            row1[i] = wbp_depth_mirror(i, j, reconsX, thickness);
            row2[i] = wbp_side_mirror(i, j, reconsX);
        }
    }
    const host_tiles::TileLayout L = host_tiles::or_whole(tiles, reconsY, reconsX);
    build(reconsY, reconsX, Ntilts / 2 + 1, d_length,
          Build<Stores::mirrored>{d_matrix, d_column, d_column2, d_tangles, L, nullptr, sinoX, w_2, r_2, h_2, factor});
}
