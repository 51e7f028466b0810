// Host forms of the SIRT iteration's kernels: for more than one lane the two
// products walk blocks of matrix rows for a group of lanes at a time
// (host_simd/host_rows_batch.h), with the same sums per lane as the one-lane
// forms.
#include <algorithm>
#include <cstddef>

#include "host_simd/host_rows_batch.h"
#include "sirt/sirt_batch_kernel.h"

using host_rows::BatchLanes;
using host_rows::batch_blocks;
using host_rows::Matrix;

// Bins grow with the row, so only the first row's bin and the last row's bin + 1
// can be shared with a neighbouring block: those additions are atomic.
void cu_SIRT_fwproduct_batch::host_run(const LaunchShape&) const {
    if (lanes == 1) return host_run_rows();
    const Matrix m{d_matrix_t, d_column_t, d_length_t, (size_t)alignment};
    batch_blocks(nrows, 1, 2, lanes, [&](const auto& f, int r0, int count, int l0, int w, float* acc) {
        f.gather2(m, BatchLanes{d_recons, lanes, l0, w}, host_rows::row_block(d_length_t, r0, count), acc);
        for (int q = 0; q < count; ++q) {
            const int r = r0 + q;
            if (d_length_t[r] == 0) continue;
            float* y = d_sinoaux + (size_t)d_idrow_t[r] * lanes + l0;
            float* y1 = y + lanes;
            const float* s = acc + (size_t)2 * q * w;
            for (int l = 0; l < w; ++l) {
                if (q == 0) atomic_add_float(y + l, s[l]);
                else y[l] += s[l];
                if (q == count - 1) atomic_add_float(y1 + l, s[w + l]);
                else y1[l] += s[w + l];
            }
        }
    });
}

// Every slice element belongs to one row (r < nRows, mirrors >= nRows).
void cu_SIRT_product_batch::host_run(const LaunchShape&) const {
    if (lanes == 1) return host_run_rows();
    if (nRows <= 0) return;
    const Matrix m{d_matrix, d_column, d_length, (size_t)alignment_n};
    batch_blocks(nRows, 1, 2, lanes, [&](const auto& f, int r0, int count, int l0, int w, float* acc) {
        f.mirrored(m, d_column2, BatchLanes{d_sinoaux, lanes, l0, w}, 1.0f,
                   host_rows::row_block(d_length, r0, count), acc);
        for (int q = 0; q < count; ++q) {
            const int r = r0 + q, mirror = npix - 1 - r;
            const float* s = acc + (size_t)2 * q * w;
            float* x = d_recons + (size_t)r * lanes + l0;
            for (int l = 0; l < w; ++l) x[l] = x[l] + s[l];
            if (mirror < nRows) continue;
            float* x2 = d_recons + (size_t)mirror * lanes + l0;
            for (int l = 0; l < w; ++l) x2[l] = x2[l] + s[w + l];
        }
    });
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
