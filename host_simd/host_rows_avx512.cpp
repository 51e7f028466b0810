// The vector forms of the host products for processors with AVX-512VL: the
// AVX2 forms with two-register sample permutes.
#include "host_simd/host_rows.h"

#if defined(__x86_64__) && defined(__GNUC__)
#define VEC_TARGET "avx2,avx512f,avx512vl"
#define VEC_WINDOW 1
#define VEC_SET avx512_accumulators

namespace host_rows {
namespace {
bool vec_cpu_supported() {
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
}
}  // namespace
}  // namespace host_rows

#include "host_simd/host_rows_vector_inl.h"

#else

namespace host_rows {
const Accumulators* avx512_accumulators() { return nullptr; }
}  // namespace host_rows

#endif
