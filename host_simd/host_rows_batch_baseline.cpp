// The batched host forms for the baseline vector set (four lanes per vector),
// the set every form falls back to, and the choice of the set.
#include <vector>

#include "host_simd/host_rows_batch.h"

namespace host_rows {
namespace {
bool vec_cpu_supported() { return true; }
}  // namespace
}  // namespace host_rows

#define VEC_WIDEST 4
#define VEC_SET baseline_batch_accumulators_or_null
#include "host_simd/host_rows_batch_inl.h"

namespace host_rows {

const BatchAccumulators& baseline_batch_accumulators() { return *baseline_batch_accumulators_or_null(); }

// The same vector set as the single-slice forms, so that choosing one set
// (host_rows::use_vectors) chooses both.
const BatchAccumulators& batch_accumulators() {
    const Accumulators* single = &accumulators();
    if (single == avx512_accumulators() && avx512_batch_accumulators()) return *avx512_batch_accumulators();
    if (single == avx2_accumulators() && avx2_batch_accumulators()) return *avx2_batch_accumulators();
    return baseline_batch_accumulators();
}

float* batch_scratch(size_t n) {
    static thread_local std::vector<float> scratch;
    if (scratch.size() < n) scratch.resize(n);
    return scratch.data();
}

}  // namespace host_rows
