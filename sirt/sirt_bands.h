#pragma once
// The host layout of the transposed matrix. Its rows (sinogram bins) gather
// pixels in increasing order, that is slice row after slice row, so a row's
// entries can be cut by bands of slice rows and still be summed in order, band
// after band. Within band b, the rows are stored in chunks of kSirtChunk
// consecutive rows: chunk c holds its rows' entries of the band entry-major
// (entry k of row 64 c + q at k * 64 + q), padded to the chunk's longest row,
// and the chunks follow one another (band-major), so a walk over a band reads
// its entries front to back.
//
// The int array of the row lengths holds, after the nrows whole lengths, the
// nrows lengths of each band, then the start of each (band, chunk) in units of
// kSirtChunk entries, bands * chunks + 1 of them. One band with no offsets is
// the plain layout (entry k of row r at k * alignment + r).
#include <cstddef>

#include "host_simd/host_rows.h"

constexpr int kSirtChunk = 64;

struct SirtBands {
    const float* weights;
    const int* pixels;
    const int* lengths;  // as described above
    int nrows, alignment, bands;

    int chunks() const { return alignment / kSirtChunk; }
    const int* band_lengths(int b) const { return bands > 1 ? lengths + (size_t)(b + 1) * nrows : lengths; }
    const int* offsets() const { return lengths + (size_t)(bands + 1) * nrows; }
};

// Calls fn(m, rb, first) for the rows r0 .. r0 + count - 1 of band b, where m
// and rb describe the rows from `first` on: one call for the plain layout, one
// per chunk of the banded one (r0 and count are then multiples of kSirtChunk,
// or count ends at nrows). Chunks without entries in the band are skipped.
template <class Fn>
void sirt_band_parts(const SirtBands& s, int b, int r0, int count, Fn fn) {
    const int* len = s.band_lengths(b);
    if (s.bands == 1) {
        const host_rows::RowBlock rb = host_rows::row_block(len, r0, count);
        if (rb.max_len > 0) fn(host_rows::Matrix{s.weights, s.pixels, len, (size_t)s.alignment}, rb, r0);
        return;
    }
    const int* start = s.offsets() + (size_t)b * s.chunks();
    for (int first = r0; first < r0 + count; first += kSirtChunk) {
        const int c = first / kSirtChunk;
        const size_t off = (size_t)start[c] * kSirtChunk;
        const int n = (int)(((size_t)start[c + 1] * kSirtChunk - off) / kSirtChunk);  // the chunk's longest row
        if (n == 0) continue;
        const int rows = first + kSirtChunk <= r0 + count ? kSirtChunk : r0 + count - first;
        const host_rows::RowBlock rb = host_rows::row_block(len + first, 0, rows);
        fn(host_rows::Matrix{s.weights + off, s.pixels + off, len + first, (size_t)kSirtChunk}, rb, first);
    }
}
