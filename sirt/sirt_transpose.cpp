// The transposed SIRT matrix of the whole slice, built once per run on the
// host: one row per sinogram bin that some pixel projects onto (its lower
// interpolation sample), holding those pixels in increasing index order.
//
// Enumerating pixels tilt by tilt in increasing index already yields every
// bin's pixels in order, so a stable counting sort over the Ntilts * sinoX bins
// groups them without comparisons, straight into the interleaved layout.
#include <climits>
#include <cstdint>
#include <cstdlib>

#include "gpu/buffers.h"
#include "gpu/gpu_layer.h"
#include "io/fail.h"
#include "sirt/sirt.h"
#include "sirt/sirt_kernel.h"

namespace {

// Calls visit(pixel, c, weight) for every pixel in range at tilt t, in
// increasing pixel order.
template <class Visit>
void for_each_triplet(const a& tilt, const Geometry& g, Visit visit) {
    for (int j = 0; j < g.reconsY; ++j) {
        const float z = (float)j - g.h_2;
        for (int i = 0; i < g.reconsX; ++i) {
            const float p = detector_position(tilt, (float)i - g.w_2, z, g.r_2);
            if (!sirt_in_range(p, g.sinoX)) continue;
            const int c = (int)p;
            visit(j * g.reconsX + i, c, 1.0f - (p - (float)c));
        }
    }
}

void check_count(int64_t count) {
    if (count > INT_MAX)
        failf("SIRT: the transposed matrix needs %lld elements, more than 32-bit element counts allow.\n",
              (long long)count);
}

void* host_zeroed(int64_t count, size_t size) {
    if (count == 0) return nullptr;
    void* p = std::calloc((size_t)count, size);
    if (!p)
        failf("SIRT: not enough host memory to build the transposed matrix (%.2f Mb more).\n",
              (double)count * (double)size / 1048576.0);
    return p;
}

// Row layout from the bin counts: the row of every non-empty bin, the bins and
// lengths of the rows, the longest row.
struct TransposeRows {
    int* row_of_bin;
    int* bin;
    int* length;
    int nrows, max_length;
};

TransposeRows group_bins(const int* counts, int nbins) {
    TransposeRows rows{static_cast<int*>(host_zeroed(nbins, sizeof(int))), nullptr, nullptr, 0, 0};
    for (int b = 0; b < nbins; ++b)
        if (counts[b] > 0) ++rows.nrows;
    // Without any triplet the matrix still has one empty row, of bin 0.
    const int stored = rows.nrows > 0 ? rows.nrows : 1;
    rows.bin = static_cast<int*>(host_zeroed(stored, sizeof(int)));
    rows.length = static_cast<int*>(host_zeroed(stored, sizeof(int)));
    int r = 0;
    for (int b = 0; b < nbins; ++b) {
        if (counts[b] == 0) continue;
        rows.row_of_bin[b] = r;
        rows.bin[r] = b;
        rows.length[r] = counts[b];
        if (counts[b] > rows.max_length) rows.max_length = counts[b];
        ++r;
    }
    rows.nrows = stored;
    return rows;
}

}  // namespace

float sirt_transpose_required_mb(int nrows, int alignment, int max_length_t) {
    const double entry_bytes = 4.0 * (double)alignment * (double)max_length_t;
    return (float)(entry_bytes / 1048576.0 + entry_bytes / 1048576.0 + 8.0 * (double)nrows / 1048576.0);
}

SirtTransposeHost sirt_transpose_on_host(const a* tangles, const Geometry& g) {
    const int sinoX = g.sinoX, Ntilts = g.Ntilts;
    check_count((int64_t)g.reconsX * g.reconsY * Ntilts);
    check_count((int64_t)sinoX * Ntilts);
    const int nbins = sinoX * Ntilts;

    // Counting pass. Tilts own disjoint bins, so they run in parallel.
    int* counts = static_cast<int*>(host_zeroed(nbins, sizeof(int)));
#pragma omp parallel for schedule(dynamic, 1)
    for (int t = 0; t < Ntilts; ++t)
        for_each_triplet(tangles[t], g, [&](int, int c, float) { ++counts[t * sinoX + c]; });

    TransposeRows rows = group_bins(counts, nbins);
    const int alignment = sirt_round_up_64(rows.nrows);
    const int64_t entries = (int64_t)alignment * rows.max_length;
    check_count(entries);

    // Placement pass: the k-th pixel of a bin becomes entry k of its row.
    SirtTransposeHost t;
    t.weights = static_cast<float*>(host_zeroed(entries, sizeof(float)));
    t.pixels = static_cast<int*>(host_zeroed(entries, sizeof(int)));
    for (int b = 0; b < nbins; ++b) counts[b] = 0;
#pragma omp parallel for schedule(dynamic, 1)
    for (int tilt = 0; tilt < Ntilts; ++tilt)
        for_each_triplet(tangles[tilt], g, [&](int pixel, int c, float w) {
            const int bin = tilt * sinoX + c;
            const size_t e = (size_t)counts[bin]++ * alignment + rows.row_of_bin[bin];
            t.weights[e] = w;
            t.pixels[e] = pixel;
        });
    std::free(counts);
    std::free(rows.row_of_bin);
    t.length = rows.length;
    t.bin = rows.bin;
    t.nrows = rows.nrows;
    t.alignment = alignment;
    t.max_length = rows.max_length;
    return t;
}

float sirt_transpose_required_mb(const SirtTransposeHost& t) {
    return sirt_transpose_required_mb(t.nrows, t.alignment, t.max_length);
}

void sirt_transpose_upload(SirtTransposeHost* t) {
    const size_t entry_bytes = 4 * (size_t)t->alignment * t->max_length, row_bytes = 4 * (size_t)t->nrows;
    d_matrix_t = static_cast<float*>(gpu_alloc(entry_bytes));
    d_column_t = static_cast<int*>(gpu_alloc(entry_bytes));
    d_length_t = static_cast<int*>(gpu_alloc(row_bytes));
    d_idrow_t = static_cast<int*>(gpu_alloc(row_bytes));
    gpu_copy_to_device(d_matrix_t, t->weights, entry_bytes);
    gpu_copy_to_device(d_column_t, t->pixels, entry_bytes);
    gpu_copy_to_device(d_length_t, t->length, row_bytes);
    gpu_copy_to_device(d_idrow_t, t->bin, row_bytes);
    sirt_sizes.nrows = t->nrows;
    sirt_sizes.alignment = t->alignment;
    sirt_sizes.max_length_t = t->max_length;
    std::free(t->weights);
    std::free(t->pixels);
    std::free(t->length);
    std::free(t->bin);
    *t = SirtTransposeHost{};
}

void sirt_build_transpose(const a* tangles, const Geometry& g) {
    SirtTransposeHost t = sirt_transpose_on_host(tangles, g);
    gpu_check_memory(sirt_transpose_required_mb(t), "sirt");
    sirt_transpose_upload(&t);
}
