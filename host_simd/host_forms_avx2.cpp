// The host forms for processors with AVX2: eight lanes per vector.
#include "host_simd/host_forms.h"

#if defined(__x86_64__) && defined(__GNUC__)
namespace host_rows {
namespace {
bool vec_cpu_supported() { return __builtin_cpu_supports("avx2"); }
}  // namespace
}  // namespace host_rows

#define VEC_TARGET "avx2"
#define VEC_WIDEST 8
#define VEC_VECTORS Vectors::avx2
#define VEC_SET avx2_forms
#include "host_simd/host_forms_inl.h"

#else
namespace host_rows {
const HostForms* avx2_forms() { return nullptr; }
}  // namespace host_rows
#endif
