// The transposed SIRT matrix of the whole slice, built once per run on the
// host: one row per sinogram bin that some pixel projects onto (its lower
// interpolation sample), holding those pixels in increasing index order.
//
// Enumerating pixels tilt by tilt in increasing index already yields every
// bin's pixels in order, so a stable counting sort over the Ntilts * sinoX bins
// groups them without comparisons, straight into the interleaved layout: on the
// host device straight into the device buffers, which come zero-filled; for a
// GPU into zeroed host images, which are then copied.
//
// On the host device the matrix is stored by bands of slice rows (the pixels
// of a bin come in slice-row order, so each row's entries in one band follow
// those of the band before): the host products sum band after band, while the
// band's pixels stay in cache for the rays of every tilt.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "gpu/gpu_layer.h"
#include "host_simd/matrix_build.h"
#include "io/fail.h"
#include "sirt/sirt.h"
#include "sirt/sirt_bands.h"
#include "sirt/sirt_kernel.h"

namespace {

// Calls visit(pixel, c, weight) for every pixel in range at one tilt, in
// increasing pixel order. The pixels of a slice row in range form one span
// (host_simd/matrix_build.h).
template <class Visit>
void for_each_triplet(const a& tilt, const Geometry& g, Visit visit) {
    const a t = tilt;
    const int reconsX = g.reconsX, sinoX = g.sinoX;
    const float w_2 = g.w_2, r_2 = g.r_2;
    for (int j = 0; j < g.reconsY; ++j) {
        const float z = (float)j - g.h_2;
        auto position = [&](int i) { return detector_position(t, (float)i - w_2, z, r_2); };
        const host_rows::Span span =
            host_rows::detector_span(reconsX, [&](int i) { return sirt_in_range(position(i), sinoX); });
        for (int i = span.lo; i < span.hi; ++i) {
            const SirtEntry e = sirt_entry(position(i), 0, sinoX);  // at tilt 0 the column is c
            visit(j * reconsX + i, e.column, e.weight);
        }
    }
}

bool fits_32(int64_t count) { return count <= INT_MAX; }

void check_count(int64_t count) {
    if (!fits_32(count))
        failf("SIRT: the transposed matrix needs %lld elements, more than 32-bit element counts allow.\n",
              (long long)count);
}

// The larger of the pixel-tilt pairs and the bins, both counted in 32 bits.
int64_t pair_or_bin_count(const Geometry& g) {
    const int64_t pairs = (int64_t)g.reconsX * g.reconsY * g.Ntilts, bins = (int64_t)g.sinoX * g.Ntilts;
    return pairs > bins ? pairs : bins;
}

template <class T>
HostArray<T> host_zeroed(int64_t count) {
    HostArray<T> p = host_array_try<T>((size_t)count);
    if (!p && count > 0)
        failf("SIRT: not enough host memory to build the transposed matrix (%.2f Mb more).\n",
              (double)count * (double)sizeof(T) / 1048576.0);
    return p;
}

// Pixels of every bin. Tilts own disjoint bins, so they run in parallel.
HostArray<int> count_bins(const a* tangles, const Geometry& g) {
    HostArray<int> owned = host_zeroed<int>((int64_t)g.sinoX * g.Ntilts);
    int* counts = owned.get();
#pragma omp parallel for schedule(dynamic, 1)
    for (int t = 0; t < g.Ntilts; ++t) {
        int* __restrict bins = counts + (size_t)t * g.sinoX;
        for_each_triplet(tangles[t], g, [=](int, int c, float) { ++bins[c]; });
    }
    return owned;
}

SirtTransposeShape shape_of_counts(const int* counts, int nbins) {
    SirtTransposeShape shape;
    for (int b = 0; b < nbins; ++b) {
        if (counts[b] > 0) ++shape.nrows;
        if (counts[b] > shape.max_length) shape.max_length = counts[b];
    }
    // Without any triplet the matrix still has one empty row, of bin 0.
    if (shape.nrows == 0) shape.nrows = 1;
    shape.alignment = sirt_round_up_64(shape.nrows);
    shape.fits_32 = fits_32((int64_t)shape.alignment * shape.max_length);
    return shape;
}

// The rows of the non-empty bins: the bin and length of each into bin and
// length (nrows each), and the row of every bin, returned.
HostArray<int> group_bins(const int* counts, int nbins, int* bin, int* length) {
    HostArray<int> row_of_bin = host_zeroed<int>(nbins);
    int r = 0;
    for (int b = 0; b < nbins; ++b) {
        if (counts[b] == 0) continue;
        row_of_bin[b] = r;
        bin[r] = b;
        length[r] = counts[b];
        ++r;
    }
    return row_of_bin;
}

// Placement pass: the k-th pixel of a bin becomes entry k of its row. Takes the
// counts of the counting pass as its running positions.
void place_entries(const a* tangles, const Geometry& g, int* counts, const int* row_of_bin, int alignment,
                   float* weights, int* pixels) {
    const int sinoX = g.sinoX;
    for (int b = 0; b < sinoX * g.Ntilts; ++b) counts[b] = 0;
#pragma omp parallel for schedule(dynamic, 1)
    for (int tilt = 0; tilt < g.Ntilts; ++tilt) {
        int* __restrict next = counts + (size_t)tilt * sinoX;
        const int* __restrict row = row_of_bin + (size_t)tilt * sinoX;
        float* __restrict w_out = weights;
        int* __restrict p_out = pixels;
        for_each_triplet(tangles[tilt], g, [=](int pixel, int c, float w) {
            const size_t e = (size_t)next[c]++ * alignment + row[c];
            w_out[e] = w;
            p_out[e] = pixel;
        });
    }
}

// The counted matrix in weights and pixels (alignment * max_length entries),
// its row bins and lengths in bin and length (nrows each), all zero-filled
// (a matrix without entries keeps one empty row of bin 0).
void fill_transpose(SirtTransposeCount* c, const a* tangles, const Geometry& g, float* weights, int* pixels,
                    int* bin, int* length) {
    const int nbins = g.sinoX * g.Ntilts;
    const HostArray<int> row_of_bin = group_bins(c->counts.get(), nbins, bin, length);
    place_entries(tangles, g, c->counts.get(), row_of_bin.get(), c->shape.alignment, weights, pixels);
    c->counts.reset();
}

// Every row's length in every band, at band_length[b * nrows + row]. Tilts own
// disjoint rows, so they run in parallel.
void count_band_lengths(const a* tangles, const Geometry& g, const int* row_of_bin, int band_rows, int nrows,
                        int* band_length) {
    const int band_pixels = band_rows * g.reconsX;
#pragma omp parallel for schedule(dynamic, 1)
    for (int tilt = 0; tilt < g.Ntilts; ++tilt) {
        const int* __restrict row = row_of_bin + (size_t)tilt * g.sinoX;
        for_each_triplet(tangles[tilt], g, [=](int pixel, int c, float) {
            ++band_length[(size_t)(pixel / band_pixels) * nrows + row[c]];
        });
    }
}

// The start of every (band, chunk) in units of kSirtChunk entries, band-major,
// and the end after them; false where the matrix goes beyond 32-bit units.
bool chunk_starts(const int* band_length, int nrows, int bands, int chunks, int* start) {
    int64_t at = 0;
    for (int b = 0; b < bands; ++b) {
        const int* len = band_length + (size_t)b * nrows;
        for (int c = 0; c < chunks; ++c) {
            int longest = 0;
            const int end = std::min(nrows, (c + 1) * kSirtChunk);
            for (int r = c * kSirtChunk; r < end; ++r) longest = std::max(longest, len[r]);
            start[(size_t)b * chunks + c] = (int)at;
            at += longest;
            if (at > INT_MAX) return false;
        }
    }
    start[(size_t)bands * chunks] = (int)at;
    return true;
}

// Placement by bands: the k-th pixel of a bin within band b becomes entry k of
// its row in the row's chunk of band b.
void place_banded(const a* tangles, const Geometry& g, const int* row_of_bin, const SirtSizes& z,
                  const int* start, float* weights, int* pixels) {
    const int sinoX = g.sinoX, band_pixels = z.band_rows * g.reconsX, chunks = z.alignment / kSirtChunk;
#pragma omp parallel for schedule(dynamic, 1)
    for (int tilt = 0; tilt < g.Ntilts; ++tilt) {
        std::vector<int> next(sinoX, 0);
        const int* __restrict row = row_of_bin + (size_t)tilt * sinoX;
        int band = 0;
        for_each_triplet(tangles[tilt], g, [&](int pixel, int c, float w) {
            if (pixel / band_pixels != band) {
                band = pixel / band_pixels;
                std::fill(next.begin(), next.end(), 0);
            }
            const int r = row[c], k = next[c]++;
            const size_t chunk = (size_t)start[(size_t)band * chunks + r / kSirtChunk] * kSirtChunk;
            const size_t e = chunk + (size_t)k * kSirtChunk + r % kSirtChunk;
            weights[e] = w;
            pixels[e] = pixel;
        });
    }
}

void record_sizes(SirtSizes& sizes, const SirtTransposeShape& shape) {
    sizes.nrows = shape.nrows;
    sizes.alignment = shape.alignment;
    sizes.max_length_t = shape.max_length;
}

void alloc_transposed(MethodBuffers& d, size_t entries, size_t rows) {
    d.d_matrix_t = gpu_array(float, entries);
    d.d_column_t = gpu_array(int, entries);
    d.d_length_t = gpu_array(int, rows);
    d.d_idrow_t = gpu_array(int, rows);
}

}  // namespace

float sirt_transpose_required_mb(const SirtTransposeShape& t) {
    const double entry_bytes = 4.0 * (double)t.alignment * (double)t.max_length;
    return (float)(entry_bytes / 1048576.0 + entry_bytes / 1048576.0 + 8.0 * (double)t.nrows / 1048576.0);
}

SirtTransposeShape sirt_transpose_shape(const a* tangles, const Geometry& g) {
    if (!fits_32(pair_or_bin_count(g))) return {};
    return shape_of_counts(count_bins(tangles, g).get(), g.sinoX * g.Ntilts);
}

SirtTransposeCount sirt_transpose_count(const a* tangles, const Geometry& g) {
    check_count(pair_or_bin_count(g));
    SirtTransposeCount c;
    c.counts = count_bins(tangles, g);
    c.shape = shape_of_counts(c.counts.get(), g.sinoX * g.Ntilts);
    check_count((int64_t)c.shape.alignment * c.shape.max_length);
    return c;
}

namespace {

SirtTransposeHost host_images(SirtTransposeCount* c, const a* tangles, const Geometry& g) {
    const SirtTransposeShape shape = c->shape;
    const int64_t entries = (int64_t)shape.alignment * shape.max_length;
    SirtTransposeHost t;
    t.weights = host_zeroed<float>(entries);
    t.pixels = host_zeroed<int>(entries);
    t.bin = host_zeroed<int>(shape.nrows);
    t.length = host_zeroed<int>(shape.nrows);
    fill_transpose(c, tangles, g, t.weights.get(), t.pixels.get(), t.bin.get(), t.length.get());
    t.shape = shape;
    return t;
}

}  // namespace

namespace {

// The host layout (sirt_bands.h) in the zero-filled buffers of the host
// device; false, with nothing taken, where its chunk starts do not fit. What
// it takes is in d as soon as taken, for the plan to release on an error.
bool transpose_in_bands(SirtTransposeCount* c, const a* tangles, const Geometry& g, MethodBuffers& d,
                        SirtSizes& sizes, int band_rows, int bands) {
    const SirtTransposeShape shape = c->shape;
    const int nbins = g.sinoX * g.Ntilts, nrows = shape.nrows, chunks = shape.alignment / kSirtChunk;
    const size_t lengths = (size_t)nrows * (1 + bands) + (size_t)bands * chunks + 1;
    d.d_length_t = gpu_array(int, lengths);
    d.d_idrow_t = gpu_array(int, nrows);
    const HostArray<int> row_of_bin = group_bins(c->counts.get(), nbins, d.d_idrow_t, d.d_length_t);
    int* start = d.d_length_t + (size_t)nrows * (1 + bands);
    count_band_lengths(tangles, g, row_of_bin.get(), band_rows, nrows, d.d_length_t + nrows);
    if (!chunk_starts(d.d_length_t + nrows, nrows, bands, chunks, start)) {
        d.d_length_t.reset();
        d.d_idrow_t.reset();
        return false;
    }
    const size_t entries = (size_t)start[(size_t)bands * chunks] * kSirtChunk;
    d.d_matrix_t = gpu_array(float, entries);
    d.d_column_t = gpu_array(int, entries);
    sizes.bands = bands;
    sizes.band_rows = band_rows;
    place_banded(tangles, g, row_of_bin.get(), sizes, start, d.d_matrix_t, d.d_column_t);
    c->counts.reset();
    return true;
}

}  // namespace

SirtTransposeHost sirt_transpose_on_host(const a* tangles, const Geometry& g) {
    SirtTransposeCount c = sirt_transpose_count(tangles, g);
    return host_images(&c, tangles, g);
}

void sirt_transpose_upload(SirtTransposeHost* t, MethodBuffers& d, SirtSizes& sizes) {
    const SirtTransposeShape& shape = t->shape;
    const size_t entry_bytes = 4 * (size_t)shape.alignment * shape.max_length, row_bytes = 4 * (size_t)shape.nrows;
    alloc_transposed(d, (size_t)shape.alignment * shape.max_length, shape.nrows);
    gpu_copy_to_device(d.d_matrix_t, t->weights.get(), entry_bytes);
    gpu_copy_to_device(d.d_column_t, t->pixels.get(), entry_bytes);
    gpu_copy_to_device(d.d_length_t, t->length.get(), row_bytes);
    gpu_copy_to_device(d.d_idrow_t, t->bin.get(), row_bytes);
    record_sizes(sizes, shape);
    *t = SirtTransposeHost{};
}

void sirt_transpose_to_device(SirtTransposeCount* c, const a* tangles, const Geometry& g, const ExecChoices& x,
                              MethodBuffers& d, SirtSizes& sizes) {
    if (x.backend != GPU_BACKEND_HOST) {
        SirtTransposeHost t = host_images(c, tangles, g);
        sirt_transpose_upload(&t, d, sizes);
        return;
    }
    const SirtTransposeShape shape = c->shape;
    record_sizes(sizes, shape);
    const int band_rows = sirt_band_rows(g.reconsX, g.reconsY), bands = (g.reconsY + band_rows - 1) / band_rows;
    if (x.host_forms() && bands > 1 && shape.max_length > 0 &&
        transpose_in_bands(c, tangles, g, d, sizes, band_rows, bands))
        return;
    alloc_transposed(d, (size_t)shape.alignment * shape.max_length, shape.nrows);
    fill_transpose(c, tangles, g, d.d_matrix_t, d.d_column_t, d.d_idrow_t, d.d_length_t);
}

int sirt_band_rows(int reconsX, int reconsY) {
    // 16 lanes of 4 bytes per pixel.
    constexpr long long kBandBytes = 384 * 1024;
    const long long rows = kBandBytes / (64LL * std::max(reconsX, 1));
    return (int)std::clamp<long long>(rows, 1, std::max(reconsY, 1));
}
