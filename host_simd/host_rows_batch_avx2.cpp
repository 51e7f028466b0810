// The batched host forms for processors with AVX2: eight lanes per vector.
#include "host_simd/host_rows_batch.h"

#if defined(__x86_64__) && defined(__GNUC__)
namespace host_rows {
namespace {
bool vec_cpu_supported() { return __builtin_cpu_supports("avx2"); }
}  // namespace
}  // namespace host_rows

#define VEC_TARGET "avx2"
#define VEC_WIDEST 8
#define VEC_SET avx2_batch_accumulators
#include "host_simd/host_rows_batch_inl.h"

#else
namespace host_rows {
const BatchAccumulators* avx2_batch_accumulators() { return nullptr; }
}  // namespace host_rows
#endif
