// Host forms of the WBP products, for any number of lanes, one included: the
// tiles of the matrix in parallel, each walked part by part, entry by entry,
// for one group of lanes at a time (host_simd/host_tiles_batch.h), the sums
// then written to the slices as the per-item bodies write them.
#include <algorithm>
#include <cstddef>
#if defined(__SSE2__)
#include <xmmintrin.h>
#endif

#include "host_simd/host_tiles_batch.h"
#include "host_simd/sample_tables.h"
#include "wbp/wbp_batch_kernel.h"

namespace {

using host_rows::BatchLanes;
using host_tiles::TilePart;

// A chunk of kChunk pixels of a run: lane l of pixel q from a[q * pitch + l]
// to out[l * npix + q * step], lanes in fours transposed in registers where it
// is whole. Its lines are fetched before, so that the stores find them in cache
// instead of each waiting on memory in turn.
constexpr int kChunk = 16;

void put_chunk(const float* a, size_t pitch, int w, int m, float* out, long long npix, long long step) {
#if defined(__SSE2__)
    if (m == kChunk && w % 4 == 0) {
        for (int l = 0; l < w; l += 4)
            for (int q = 0; q < kChunk; q += 4) {
                __m128 r0 = _mm_loadu_ps(a + q * pitch + l), r1 = _mm_loadu_ps(a + (q + 1) * pitch + l);
                __m128 r2 = _mm_loadu_ps(a + (q + 2) * pitch + l), r3 = _mm_loadu_ps(a + (q + 3) * pitch + l);
                _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
                const __m128 c[4] = {r0, r1, r2, r3};
                for (int k = 0; k < 4; ++k) {
                    float* o = out + (l + k) * npix;
                    if (step > 0) _mm_storeu_ps(o + q, c[k]);
                    else _mm_storeu_ps(o - q - 3, _mm_shuffle_ps(c[k], c[k], _MM_SHUFFLE(0, 1, 2, 3)));
                }
            }
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
        for (int l = 0; l < w; ++l)
            for (int q = 0; q < len + kChunk; q += kChunk)
                __builtin_prefetch(lane0 + l * npix + at + std::min(q, len - 1) * step, 1);
        for (int q0 = 0; q0 < len; q0 += kChunk)
            put_chunk(acc + ((size_t)(n + q0) * sums + s) * w, pitch, w, std::min(kChunk, len - q0),
                      lane0 + at + q0 * step, npix, step);
    });
}

long long own(long long r, long long&) { return r; }

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
        // acc[(q * 4 + s) * w + l]: s = A, B, C, D of row q of the block.
        auto sum = [&](int j, int i, int s, int l) { return acc[(((size_t)(j - j0) * W + i) * 4 + s) * w + l]; };
        for (int l = 0; l < w; ++l) {
            float* slice = k.d_recons + (size_t)(l0 + l) * k.npix;
            for (int j = j0; j < j0 + count; ++j) {
                float* own = slice + (size_t)j * W;
                float* mirror = slice + (size_t)(k.thickness - 1 - j) * W;
                if (odd && j == rows - 1) {
                    for (int i = 0; i < W; ++i) own[i] = (0.0f + sum(j, i, 0, l)) + sum(j, i, 2, l);
                    continue;
                }
                for (int i = 0; i < W; ++i) {
                    own[i] = (0.0f + sum(j, i, 0, l)) + sum(j, W - 1 - i, 3, l);
                    mirror[i] = (0.0f + sum(j, i, 2, l)) + sum(j, W - 1 - i, 1, l);
                }
            }
        }
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
