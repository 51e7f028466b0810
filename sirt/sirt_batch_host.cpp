// Host forms of the SIRT iteration's kernels over the host layouts of the
// matrices (sirt_bands.h, sirt_tiles.h): the products walk blocks of matrix
// rows for a group of lanes at a time (host_simd/host_forms.h), each lane's
// sums taken in the item bodies' order, with the forms and scratch of the
// plan's host record.
#include <algorithm>
#include <cstddef>

#include <omp.h>

#include "host_simd/host_run.h"
#include "host_simd/sample_tables.h"
#include "sirt/sirt_bands.h"
#include "sirt/sirt_batch_kernel.h"

using host_rows::BatchLanes;
using host_rows::Matrix;

namespace {

// Adds the sums of rows r0 .. r0 + count - 1 into the sinograms. Bins grow with
// the row, so only the first row's bin and the last row's bin + 1 can be
// shared with a neighbouring block: those additions are atomic.
void forward_scatter(const cu_SIRT_fwproduct_batch& K, int r0, int count, int l0, int w, const float* acc) {
    for (int q = 0; q < count; ++q) {
        const int r = r0 + q;
        if (K.d_length_t[r] == 0) continue;
        float* y = K.d_sinoaux + (size_t)K.d_idrow_t[r] * K.lanes + l0;
        float* y1 = y + K.lanes;
        const float* s = acc + (size_t)2 * q * w;
        for (int l = 0; l < w; ++l) {
            if (q == 0) atomic_add_float(y + l, s[l]);
            else y[l] += s[l];
            if (q == count - 1) atomic_add_float(y1 + l, s[w + l]);
            else y1[l] += s[w + l];
        }
    }
}

}  // namespace

// Each thread takes a range of rows at a time and sums it band by band, for a
// group of lanes at a time: a band's pixels serve the rays of all the range's
// tilts while they are in cache, and each row adds its entries of one band
// after those of the band before, in order. Ranges need no barrier between
// bands. The sums of each lane group's rows are kept across the bands.
void cu_SIRT_fwproduct_batch::host_run(const LaunchShape&) const {
    const host_rows::HostForms& f = *host->forms;
    const int widest = host_rows::batch_group(lanes, f.widest);
    const int parts = 4 * std::max(1, omp_get_max_threads());
    const int per = (nrows + parts - 1) / parts;
    const int range = std::max(kSirtChunk, (per + kSirtChunk - 1) / kSirtChunk * kSirtChunk);
    const int ranges = host_rows::block_count(nrows, range);
    const SirtBands layout{d_matrix_t, d_column_t, d_length_t, nrows, alignment, bands};
    const host_rows::ThreadScratch scratch = host_rows::thread_scratch(*host, (size_t)2 * range * widest);
#pragma omp parallel for schedule(dynamic, 1)
    for (int ri = 0; ri < ranges; ++ri) {
        const int r0 = ri * range, count = std::min(range, nrows - r0);
        float* sums = scratch.part();
        for (int l0 = 0; l0 < lanes;) {
            const int w = host_rows::batch_group(lanes - l0, f.widest);
            const BatchLanes x{d_recons, lanes, l0, w};
            std::fill(sums, sums + (size_t)2 * count * w, 0.0f);
            for (int b = 0; b < bands; ++b)
                sirt_band_parts(layout, b, r0, count, [&](const Matrix& m, const host_rows::RowBlock& rb, int first) {
                    f.gather2(m, x, rb, sums + (size_t)2 * (first - r0) * w);
                });
            forward_scatter(*this, r0, count, l0, w, sums);
            l0 += w;
        }
    }
}

// Every slice element belongs to one row (r < nRows, mirrors >= nRows). Blocks
// are whole tiles of the host layout, so the error samples a block reads for
// every tilt stay in cache.
void cu_SIRT_product_batch::host_run(const LaunchShape&) const {
    if (nRows <= 0) return;
    const Matrix m{d_matrix, d_column, d_length, (size_t)alignment_n};
    const host_rows::HostForms& f = *host->forms;
    const int widest = host_rows::batch_group(lanes, f.widest);
    const int units = sirt_units(tiles, nRows), unit_rows = sirt_unit_rows(tiles);
    const int per = std::max(1, host_rows::batch_block_rows(nRows, 2, widest, omp_get_max_threads()) / unit_rows);
    const int blocks = host_rows::block_count(units, per);
    const host_rows::ThreadScratch scratch =
        host_rows::thread_scratch(*host, (size_t)2 * per * unit_rows * widest);
    // One lane reads the samples of its entries from a table instead of gathering them.
    float* table = lanes == 1 ? host_rows::mirrored_table(*host, d_sinoaux, sinoX, Ntilts) : nullptr;
#pragma omp parallel for schedule(dynamic, 1)
    for (int bi = 0; bi < blocks; ++bi) {
        const int u0 = bi * per, u1 = std::min(units, u0 + per);
        const int first = sirt_unit_first(tiles, u0, nRows), count = sirt_unit_first(tiles, u1, nRows) - first;
        float* acc = scratch.part();
        for (int l0 = 0; l0 < lanes;) {
            const int w = host_rows::batch_group(lanes - l0, f.widest);
            std::fill(acc, acc + (size_t)2 * count * w, 0.0f);
            const host_rows::RowBlock rb = host_rows::row_block(d_length, first, count);
            if (table) f.table_sums(m, table, 2, 1.0f, rb, acc);
            else f.mirrored(m, d_column2, BatchLanes{d_sinoaux, lanes, l0, w}, 1.0f, rb, acc);
            sirt_unit_pixels(tiles, u0, u1, [&](int r, int pixel) {
                const float* s = acc + (size_t)2 * (r - first) * w;
                float* x = d_recons + (size_t)pixel * lanes + l0;
                for (int l = 0; l < w; ++l) x[l] = x[l] + s[l];
                const int mirror = npix - 1 - pixel;
                if (mirror < nRows) return;
                float* x2 = d_recons + (size_t)mirror * lanes + l0;
                for (int l = 0; l < w; ++l) x2[l] = x2[l] + s[w + l];
            });
            l0 += w;
        }
    }
}

void cu_SIRT_comperror_batch::host_run(const LaunchShape&) const {
    const int n = sinoY * sinoX;
#pragma omp parallel for schedule(static)
    for (int e = 0; e < n; ++e) {
        const float v = d_weights[e];
        for (int l = 0; l < lanes; ++l) {
            const size_t i = (size_t)e * lanes + l;
            d_sinoaux[i] = d_sino[i] - d_sinoaux[i] * v;
        }
    }
}
