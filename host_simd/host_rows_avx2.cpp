// The vector forms of the host products for processors with AVX2.
#include "host_simd/host_rows.h"

#if defined(__x86_64__) && defined(__GNUC__)
#define VEC_TARGET "avx2"
#define VEC_WINDOW 0
#define VEC_SET avx2_accumulators

namespace host_rows {
namespace {
bool vec_cpu_supported() { return __builtin_cpu_supports("avx2"); }
}  // namespace
}  // namespace host_rows

#include "host_simd/host_rows_vector_inl.h"

#else

namespace host_rows {
const Accumulators* avx2_accumulators() { return nullptr; }
}  // namespace host_rows

#endif
