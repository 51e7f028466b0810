#pragma once
// What a plan's host launches use, fixed when the plan is built: the vector
// set's forms, and the threads' scratch for the sums, kept across launches so
// that batches do not fault in fresh pages. The plan owns it; its kernels read
// it through a pointer, one launch at a time.
#include <omp.h>

#include <algorithm>
#include <cstddef>
#include <vector>

#include "host_simd/host_forms.h"

namespace host_rows {

struct HostRun {
    const HostForms* forms = &widest_forms();
    std::vector<float> scratch;
    std::vector<float> table;  // one lane's sample table (sample_tables.h)
};

// The record of set v; the widest set where this processor lacks v.
inline HostRun host_run_for(Vectors v) {
    const HostForms* f = host_forms(v);
    return HostRun{f ? f : &widest_forms(), {}, {}};
}

// n floats for each thread of the next parallel region, taken before it so that
// a failed allocation reaches the caller: part() is the calling thread's.
struct ThreadScratch {
    float* base;
    size_t stride;
    float* part() const { return base + (size_t)omp_get_thread_num() * stride; }
};

inline ThreadScratch thread_scratch(HostRun& h, size_t n) {
    const size_t stride = (n + 15) & ~(size_t)15;  // whole cache lines apart
    const size_t need = stride * (size_t)std::max(1, omp_get_max_threads());
    if (h.scratch.size() < need) h.scratch.resize(need);
    return {h.scratch.data(), stride};
}

// Runs block(forms, first, count, l0, width, acc) for every block of `count`
// units (of `unit` matrix rows each) and every group of lanes, blocks in
// parallel; acc holds sums x count x unit x width floats, zeroed.
template <class Block>
void batch_blocks(HostRun& h, int rows, int unit, int sums, int lanes, const Block& block) {
    const HostForms& f = *h.forms;
    const int width = batch_group(lanes, f.widest);
    const int per = std::max(1, batch_block_rows(rows * unit, sums, width, omp_get_max_threads()) / unit);
    const int blocks = block_count(rows, per);
    const ThreadScratch scratch = thread_scratch(h, (size_t)sums * per * unit * width);
#pragma omp parallel for schedule(dynamic, 1)
    for (int bi = 0; bi < blocks; ++bi) {
        const int first = bi * per, count = std::min(per, rows - first);
        float* acc = scratch.part();
        for (int l0 = 0; l0 < lanes;) {
            const int w = batch_group(lanes - l0, f.widest);
            std::fill(acc, acc + (size_t)sums * count * unit * w, 0.0f);
            block(f, first, count, l0, w, acc);
            l0 += w;
        }
    }
}

}  // namespace host_rows
