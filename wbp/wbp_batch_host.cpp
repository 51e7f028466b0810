// Host forms of the WBP products, for any number of lanes, one included: the
// tiles of the matrix in parallel, each walked part by part, entry by entry,
// for one group of lanes at a time (host_simd/host_tiles_batch.h), the sums
// then written to the slices as the per-item bodies write them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#if defined(__SSE2__)
#include <xmmintrin.h>
#endif

#include "host_simd/host_tiles_batch.h"
#include "host_simd/sample_tables.h"
#include "wbp/wbp_batch_kernel.h"

namespace {

using host_rows::BatchLanes;
using host_tiles::TilePart;

// The sums go to the slices kChunk pixels of four lanes at a time: each lane's
// pixels are gathered in registers (four by four, transposed) and its 64 bytes
// stored in a row past the cache. The slices are read next by the statistics,
// a whole batch later, so their lines need not be read in before they are
// written; writing each line whole lets the processor send it out whole.
constexpr int kChunk = 16;

#if defined(__SSE2__)
inline void store_past_cache(float* o, __m128 x) {
    if (((uintptr_t)o & 15) == 0) _mm_stream_ps(o, x);
    else _mm_storeu_ps(o, x);
}
#endif

// Orders the stores past the cache before whatever the thread does next.
inline void end_stores_past_cache() {
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

#if defined(__SSE2__)

// Four vectors of four values from p[0], p[d], p[2d], p[3d], transposed:
// v[n] holds value n of each.
inline void transposed(const float* p, size_t d, __m128 v[4]) {
    v[0] = _mm_loadu_ps(p), v[1] = _mm_loadu_ps(p + d), v[2] = _mm_loadu_ps(p + 2 * d), v[3] = _mm_loadu_ps(p + 3 * d);
    _MM_TRANSPOSE4_PS(v[0], v[1], v[2], v[3]);
}

// Lane n's kChunk pixels to out + n * npix onwards (reversed: to the kChunk
// floats ending there), quad(q, v) giving v[n] = pixels q .. q + 3 of lane n.
template <class Quad>
inline void store_lanes(float* out, long long npix, bool reversed, const Quad& quad) {
    __m128 v[kChunk / 4][4];
    for (int c = 0; c < kChunk / 4; ++c) quad(4 * c, v[c]);
    for (int n = 0; n < 4; ++n) {
        float* o = out + n * npix;
        for (int c = 0; c < kChunk / 4; ++c) {
            if (!reversed) store_past_cache(o + 4 * c, v[c][n]);
            else store_past_cache(o - 4 * c - 3, _mm_shuffle_ps(v[c][n], v[c][n], _MM_SHUFFLE(0, 1, 2, 3)));
        }
    }
}
#endif

// m pixels of w lanes: lane l of pixel q from a[q * pitch + l] to
// out[l * npix + q * step].
void put_chunk(const float* a, size_t pitch, int w, int m, float* out, long long npix, long long step) {
#if defined(__SSE2__)
    if (m == kChunk && w % 4 == 0) {
        for (int l = 0; l < w; l += 4)
            store_lanes(out + l * npix, npix, step < 0, [&](int q, __m128 v[4]) { transposed(a + q * pitch + l, pitch, v); });
        return;
    }
#endif
    for (int l = 0; l < w; ++l, out += npix)
        for (int q = 0; q < m; ++q) out[q * step] = a[(size_t)q * pitch + l];
}

// Writes sum s of each pixel of a part to the lane slices at pixel(r) + n for
// the n-th pixel of each run of a slice row, r the slice index j * cols + i of
// the run's first pixel and step +1 or -1 (null: the run is not written).
template <class Run>
void write_sums(float* d_recons, long long npix, const host_tiles::TileLayout& L, const TilePart& p,
                const float* acc, int sums, int s, int l0, int w, const Run& run) {
    float* const lane0 = d_recons + (size_t)l0 * npix;
    const size_t pitch = (size_t)sums * w;
    host_tiles::each_run(p.t, p.b.r0, p.b.count, [&](int n, int j, int i, int len) {
        long long step = 1;
        const long long at = run((long long)j * L.cols + i, step);
        if (at < 0) return;
        for (int q0 = 0; q0 < len; q0 += kChunk)
            put_chunk(acc + ((size_t)(n + q0) * sums + s) * w, pitch, w, std::min(kChunk, len - q0),
                      lane0 + at + q0 * step, npix, step);
    });
    end_stores_past_cache();
}

long long own(long long r, long long&) { return r; }

// One slice row of level 3 for w lanes: out[l * npix + i] = (0 + x) + y, x sum
// a of pixel i and y sum b of pixel W - 1 - i (of pixel i where not
// `mirrored`), sums[(i * 4 + s) * w + l] holding sum s of pixel i.
void pair_sums(const float* sums, int w, int W, int a, int b, bool mirrored, float* out, long long npix) {
    auto at = [&](int i, int s) { return sums + ((size_t)i * 4 + s) * w; };
    auto other = [&](int i) { return mirrored ? W - 1 - i : i; };
    int i0 = 0;
#if defined(__SSE2__)
    const size_t d = (size_t)4 * w;
    if (w % 4 == 0)
        for (; i0 + kChunk <= W; i0 += kChunk)
            for (int l = 0; l < w; l += 4)
                store_lanes(out + l * npix + i0, npix, false, [&](int q, __m128 v[4]) {
                    __m128 x[4], y[4];
                    transposed(at(i0 + q, a) + l, d, x);
                    // The pixels W - 1 - i descend in memory: read the four from the lowest, reversed.
                    if (mirrored) {
                        transposed(at(other(i0 + q + 3), b) + l, d, y);
                        for (__m128& r : y) r = _mm_shuffle_ps(r, r, _MM_SHUFFLE(0, 1, 2, 3));
                    } else {
                        transposed(at(i0 + q, b) + l, d, y);
                    }
                    for (int n = 0; n < 4; ++n) v[n] = _mm_add_ps(_mm_add_ps(_mm_setzero_ps(), x[n]), y[n]);
                });
#endif
    for (int l = 0; l < w; ++l)
        for (int i = i0; i < W; ++i) out[l * npix + i] = (0.0f + at(i, a)[l]) + at(other(i), b)[l];
}

// Level 3 on the entry-major layout, without atomics: a block of whole slice
// rows j owns the pixels of rows j and thickness - 1 - j, and writes each as
// the items' two adds onto a cleared pixel give it (fl(fl(0 + x) + y) does not
// depend on which of x, y comes first), so the slices need no clearing.
void level3_rows(const cu_WBP_productsym3_batch& k) {
    const host_rows::Matrix m{k.d_matrix, k.d_column, k.d_length, (size_t)k.nRows};
    const host_rows::OppositeTilts o{(k.Ntilts + 1) * k.sinoX, wbp_mirrored_lo(k.sinoX),
                                     wbp_mirrored_hi(k.Ntilts, k.sinoX)};
    const int W = k.reconsX, rows = k.nRows / W;
    const bool odd = (k.thickness & 1) != 0;
    // One lane reads the samples of its entries from a table instead of gathering them.
    float* table = nullptr;
    if (k.lanes == 1) {
        table = host_rows::sample_table(*k.host, (size_t)8 * k.sinoX * (k.Ntilts / 2 + 1));
        host_rows::fill_level3_table(table, k.d_sino, k.sinoX, k.Ntilts, o.lo, o.hi);
    }
    host_rows::batch_blocks(*k.host, rows, W, 4, k.lanes, [&](const auto& f, int j0, int count, int l0, int w, float* acc) {
        const host_rows::RowBlock rb = host_rows::row_block(k.d_length, j0 * W, count * W);
        if (table) f.table_sums(m, table, 4, k.factor, rb, acc);
        else f.level3(m, k.d_column2, BatchLanes{k.d_sino, k.lanes, l0, w}, k.factor, o, rb, acc);
        float* const lane0 = k.d_recons + (size_t)l0 * k.npix;
        for (int j = j0; j < j0 + count; ++j) {
            const float* sums = acc + (size_t)(j - j0) * W * 4 * w;
            float* own = lane0 + (size_t)j * W;
            if (odd && j == rows - 1) {
                pair_sums(sums, w, W, 0, 2, false, own, k.npix);
                continue;
            }
            pair_sums(sums, w, W, 0, 3, true, own, k.npix);
            pair_sums(sums, w, W, 2, 1, true, lane0 + (size_t)(k.thickness - 1 - j) * W, k.npix);
        }
        end_stores_past_cache();
    });
}

}  // namespace

void cu_WBP_product_batch0::host_run(const LaunchShape&) const {
    const host_tiles::TileLayout L = host_tiles::or_whole(tiles, 1, nRows);
    const host_rows::Matrix m{d_matrix, d_column, d_length, 0};
    host_tiles::batch_tiles(*host, L, m, 1, lanes, [&](const auto& f, const TilePart& p, int l0, int w, float* acc) {
        f.level0(p.m, BatchLanes{d_sino, lanes, l0, w}, p.b, acc);
        write_sums(d_recons, npix, L, p, acc, 1, 0, l0, w, own);
    });
}

void cu_WBP_productsym1_batch::host_run(const LaunchShape&) const {
    const host_tiles::TileLayout L = host_tiles::or_whole(tiles, 1, nRows);
    const host_rows::Matrix m{d_matrix, d_column, d_length, 0};
    host_tiles::batch_tiles(*host, L, m, 1, lanes, [&](const auto& f, const TilePart& p, int l0, int w, float* acc) {
        f.level1(p.m, BatchLanes{d_sino, lanes, l0, w}, factor, p.b, acc);
        write_sums(d_recons, npix, L, p, acc, 1, 0, l0, w, own);
    });
}

void cu_WBP_productsym2_batch::host_run(const LaunchShape&) const {
    if (nRows <= 0 || reconsX <= 0) return;
    const host_tiles::TileLayout L = host_tiles::or_whole(tiles, nRows / reconsX, reconsX);
    const host_rows::Matrix m{d_matrix, d_column, d_length, 0};
    // One lane reads the samples of its entries from a table instead of gathering them.
    float* table = lanes == 1 ? host_rows::mirrored_table(*host, d_sino, sinoX, Ntilts) : nullptr;
    host_tiles::batch_tiles(*host, L, m, 2, lanes, [&](const auto& f, const TilePart& p, int l0, int w, float* acc) {
        if (table) f.table_sums(p.m, table, 2, factor, p.b, acc);
        else f.mirrored(p.m, d_column2 + p.offset, BatchLanes{d_sino, lanes, l0, w}, factor, p.b, acc);
        write_sums(d_recons, npix, L, p, acc, 2, 0, l0, w, own);
        write_sums(d_recons, npix, L, p, acc, 2, 1, l0, w, [&](long long r, long long& step) {
            step = -1;
            return wbp_centre_row((int)r, nRows, reconsX, thickness) ? -1LL : (long long)npix - 1 - r;
        });
    });
}

// Level 3 is stored entry-major on every backend (its plans take no tiles).
void cu_WBP_productsym3_batch::host_run(const LaunchShape&) const {
    if (nRows <= 0 || reconsX <= 0) return;
    level3_rows(*this);
}
