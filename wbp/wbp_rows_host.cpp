// The one-lane host forms of the WBP products, vectorised over the matrix rows,
// and the choice of the host vector set.
//
// The product reads the whole matrix once per slice and little else, so it is
// bound by memory bandwidth. The interleaved layout stores entry k of consecutive
// rows in consecutive words; walking entry k across a block of rows, with one
// running sum per row, reads every array front to back in long runs
// (host_rows.h). Each row still adds its entries in entry order with the
// same operations as the per-row kernel body, so the sums are the same floats.
#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <vector>

#include "host_simd/host_rows.h"
#include "host_simd/host_tiles_batch.h"
#include "wbp/wbp_batch_kernel.h"

namespace host_rows {

namespace {

const Accumulators* vector_set(Vectors v) {
    switch (v) {
        case Vectors::avx512: return avx512_accumulators();
        case Vectors::avx2: return avx2_accumulators();
        default: return &baseline_accumulators();
    }
}

const Accumulators* widest() {
    const Accumulators* w = nullptr;
    for (Vectors v : kAllVectors)
        if (vector_set(v)) w = vector_set(v);
    return w;
}

// The set in use, read by plans on any thread: the widest unless a test chose another.
std::atomic<const Accumulators*> chosen{nullptr};

}  // namespace

const Accumulators& accumulators() {
    const Accumulators* a = chosen.load(std::memory_order_relaxed);
    if (!a) {
        a = widest();
        chosen.store(a, std::memory_order_relaxed);
    }
    return *a;
}

bool use_vectors(Vectors v) {
    const Accumulators* a = vector_set(v);
    if (!a) return false;
    chosen.store(a, std::memory_order_relaxed);
    return true;
}

void use_widest_vectors() { chosen.store(widest(), std::memory_order_relaxed); }

const char* vectors_name(Vectors v) {
    return v == Vectors::avx512 ? "avx512" : v == Vectors::avx2 ? "avx2" : "baseline";
}

}  // namespace host_rows

namespace {

using host_rows::Matrix;
using host_rows::RowBlock;
using host_rows::row_block;

using host_rows::block_count;
using host_rows::block_rows;
using host_rows::kMaxBlockRows;

}  // namespace

namespace host_rows {

// ---- levels 2 and 3: a per-slice table of the samples of every column ------------
// An entry of column col = t * sinoX + c (0 <= c < sinoX - 1) reads fixed samples
// of the sinogram: s[t][c] and s[t][c + 1] for its own pixel, s[t][sinoX - 1 - c]
// and s[t][sinoX - 2 - c] for the point mirror and, at level 3, the same four of
// the opposite row Ntilts - t. The table puts them side by side at index col,
// in the order the sums use them, so that an entry is one contiguous read and
// a few multiply-adds on consecutive accumulators. A tilt without a partner
// holds zeros for the opposite row: adding w * 0 leaves a sum unchanged.

float* table_buffer(size_t floats) {
    static thread_local std::vector<float> table;
    if (table.size() < floats) table.resize(floats);
    return table.data();
}

// The tables are filled by the threads of the product's own parallel region
// (work-shared loops ending in a barrier), which saves a second fork and join.

// Level 2 table: {s[t][c], s[t][X-1-c], s[t][c+1], s[t][X-2-c]} per column.
void fill_level2_table(float* table, const float* sino, int sinoX, int tilts) {
#pragma omp for schedule(static)
    for (int t = 0; t < tilts; ++t) {
        const float* row = sino + (size_t)t * sinoX;
        for (int c = 0; c < sinoX; ++c) {
            float* e = table + 4 * ((size_t)t * sinoX + c);
            const bool used = c < sinoX - 1;
            e[0] = used ? row[c] : 0.0f;
            e[1] = used ? row[sinoX - 1 - c] : 0.0f;
            e[2] = used ? row[c + 1] : 0.0f;
            e[3] = used ? row[sinoX - 2 - c] : 0.0f;
        }
    }
}

// Level 3 table: {A0, C0, B0, D0, A1, C1, B1, D1} per column of the stored
// tilts, with A, B from row t and C, D (depth and side mirror) from row Ntilts - t:
// A0 = s[t][c], A1 = s[t][c+1], B0 = s[t][X-1-c], B1 = s[t][X-2-c], and the same
// positions of the opposite row for C and D.
void fill_level3_table(float* table, const float* sino, int sinoX, int Ntilts) {
    const int stored = Ntilts / 2 + 1;
    const int partner_end = wbp_mirrored_hi(Ntilts, sinoX) / (sinoX > 0 ? sinoX : 1);
#pragma omp for schedule(static)
    for (int t = 0; t < stored; ++t) {
        const float* row = sino + (size_t)t * sinoX;
        const bool paired = t >= 1 && t < partner_end;
        const float* opp = paired ? sino + (size_t)(Ntilts - t) * sinoX : row;
        for (int c = 0; c < sinoX; ++c) {
            float* e = table + 8 * ((size_t)t * sinoX + c);
            const bool used = c < sinoX - 1, mirrored = used && paired;
            e[0] = used ? row[c] : 0.0f;
            e[1] = mirrored ? opp[c] : 0.0f;
            e[2] = used ? row[sinoX - 1 - c] : 0.0f;
            e[3] = mirrored ? opp[sinoX - 1 - c] : 0.0f;
            e[4] = used ? row[c + 1] : 0.0f;
            e[5] = mirrored ? opp[c + 1] : 0.0f;
            e[6] = used ? row[sinoX - 2 - c] : 0.0f;
            e[7] = mirrored ? opp[sinoX - 2 - c] : 0.0f;
        }
    }
}

}  // namespace host_rows

// ---- products --------------------------------------------------------------------

namespace {

// Runs fn(t, m, offset, b) for every block of every tile of the matrix a stored
// in layout L (m, offset: the tile's arrays, host_simd/host_tiles_batch.h),
// blocks of at most kMaxBlockRows pixels. A work-shared loop: call it from
// inside a parallel region. Tiles go to the threads one by one; the whole
// slice in one tile goes in blocks of block_rows rows.
template <class Fn>
void tile_blocks(const host_tiles::TileLayout& L, const Matrix& a, const Fn& fn) {
    auto run = [&](int n, int per, int from, int to) {
        const host_tiles::Tile t = host_tiles::tile_at(L, n);
        const Matrix m = host_tiles::tile_matrix(L, a, t);
        const size_t offset = (size_t)(t.first * L.capacity);
        for (int q0 = from; q0 < to; q0 += per) fn(t, m, offset, row_block(m.lengths, q0, std::min(per, to - q0)));
    };
    if (host_tiles::whole(L)) {
        const int pixels = L.rows * L.cols, per = block_rows(pixels), blocks = block_count(pixels, per);
#pragma omp for schedule(dynamic, 1)
        for (int bi = 0; bi < blocks; ++bi) run(0, per, bi * per, std::min(pixels, (bi + 1) * per));
        return;
    }
#pragma omp for schedule(dynamic, 1)
    for (int n = 0; n < host_tiles::tile_count(L); ++n) run(n, kMaxBlockRows, 0, (int)host_tiles::tile_at(L, n).pixels());
}

// Levels 0 and 1: one sum per matrix row, written to its own pixel.
// accumulate(m, block, sums) adds the block's entries into sums[0 .. count).
template <class Accumulate>
void own_pixel_products(const host_tiles::TileLayout& L, const Matrix& a, float* d_recons,
                        const Accumulate& accumulate) {
#pragma omp parallel
    tile_blocks(L, a, [&](const host_tiles::Tile& t, const Matrix& m, size_t, const RowBlock& b) {
        float sum[kMaxBlockRows];
        std::fill(sum, sum + b.count, 0.0f);
        accumulate(m, b, sum);
        host_tiles::each_pixel(t, b.r0, b.count,
                               [&](int q, int j, int i) { d_recons[(size_t)j * L.cols + i] = sum[q]; });
    });
}

}  // namespace

void cu_WBP_product_batch0::host_run_rows() const {
    const size_t samples = (size_t)Ntilts * sinoX;
    own_pixel_products(host_tiles::or_whole(tiles, 1, nRows), Matrix{d_matrix, d_column, d_length, 0}, d_recons,
                       [&](const Matrix& m, const RowBlock& b, float* sum) {
                           host_rows::accumulators().level0(m, d_sino, samples, b, sum);
                       });
}

void cu_WBP_productsym1_batch::host_run_rows() const {
    const size_t samples = (size_t)Ntilts * sinoX;
    own_pixel_products(host_tiles::or_whole(tiles, 1, nRows), Matrix{d_matrix, d_column, d_length, 0}, d_recons,
                       [&](const Matrix& m, const RowBlock& b, float* sum) {
                           host_rows::accumulators().level1(m, d_sino, samples, factor, b, sum);
                       });
}

void cu_WBP_productsym2_batch::host_run_rows() const {
    if (nRows <= 0 || reconsX <= 0) return;
    float* table = host_rows::table_buffer((size_t)4 * sinoX * Ntilts);
    const host_tiles::TileLayout L = host_tiles::or_whole(tiles, nRows / reconsX, reconsX);
#pragma omp parallel
    {
        host_rows::fill_level2_table(table, d_sino, sinoX, Ntilts);
        tile_blocks(L, Matrix{d_matrix, d_column, d_length, 0},
                    [&](const host_tiles::Tile& t, const Matrix& m, size_t, const RowBlock& b) {
                        float acc[2 * kMaxBlockRows];  // A, B of each row
                        std::fill(acc, acc + 2 * b.count, 0.0f);
                        host_rows::accumulators().table2(m, table, factor, b, acc);
                        host_tiles::each_pixel(t, b.r0, b.count, [&](int q, int j, int i) {
                            const int r = j * reconsX + i;
                            d_recons[r] = acc[2 * q];
                            if (!wbp_centre_row(r, nRows, reconsX, thickness)) d_recons[npix - 1 - r] = acc[2 * q + 1];
                        });
                    });
    }
}

// Level 3 one lane without atomics: the two adds a pixel receives come from
// matrix rows of one slice row j (A and D for pixels of row j, B and C for
// pixels of row thickness - 1 - j), so a block of whole slice rows owns its
// output rows. The items add both onto a cleared pixel; fl(fl(0 + x) + y) does
// not depend on which of x, y comes first, so writing it equals the atomic form
// exactly, and the slices need no clearing.
static void level3_one_lane_rows(const cu_WBP_productsym3_batch& k, float* table) {
    const int W = k.reconsX, rows = k.nRows / W;
    const int rows_per_block = std::max(1, block_rows(k.nRows) / W);
    const int blocks = block_count(rows, rows_per_block);
    const bool odd = (k.thickness & 1) != 0;
#pragma omp parallel
    {
        host_rows::fill_level3_table(table, k.d_sino, k.sinoX, k.Ntilts);
        // A, C, B, D of each row; kept per thread, so that slices do not fault in fresh pages.
        static thread_local std::vector<float> acc;
        if (acc.size() < 4 * (size_t)rows_per_block * W) acc.resize(4 * (size_t)rows_per_block * W);
#pragma omp for schedule(dynamic, 1)
        for (int bi = 0; bi < blocks; ++bi) {
            const int j0 = bi * rows_per_block, j1 = std::min(rows, j0 + rows_per_block);
            const int count = (j1 - j0) * W;
            std::fill(acc.begin(), acc.begin() + 4 * (size_t)count, 0.0f);
            host_rows::accumulators().table4(Matrix{k.d_matrix, k.d_column, k.d_length, (size_t)k.nRows}, table,
                                            k.factor, row_block(k.d_length, j0 * W, count), acc.data());
            for (int j = j0; j < j1; ++j) {
                const float* s = acc.data() + 4 * (size_t)(j - j0) * W;  // row (i, j) at s + 4 i
                float* own = k.d_recons + (size_t)j * W;
                float* mirror = k.d_recons + (size_t)(k.thickness - 1 - j) * W;
                if (odd && j == rows - 1) {
                    for (int i = 0; i < W; ++i) own[i] = (0.0f + s[4 * i]) + s[4 * i + 1];
                    continue;
                }
                for (int i = 0; i < W; ++i) {
                    const float* side = s + 4 * (size_t)(W - 1 - i);
                    own[i] = (0.0f + s[4 * i]) + side[3];
                    mirror[i] = (0.0f + s[4 * i + 1]) + side[2];
                }
            }
        }
    }
}

// Level 3 is stored entry-major on every backend (its plans take no tiles).
void cu_WBP_productsym3_batch::host_run_rows() const {
    if (nRows <= 0 || reconsX <= 0) return;
    level3_one_lane_rows(*this, host_rows::table_buffer((size_t)8 * sinoX * (Ntilts / 2 + 1)));
}
