// The host forms for processors with AVX-512: sixteen lanes per vector.
#include "host_simd/host_forms.h"

#if defined(__x86_64__) && defined(__GNUC__)
namespace host_rows {
namespace {
bool vec_cpu_supported() { return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl"); }
}  // namespace
}  // namespace host_rows

#define VEC_TARGET "avx2,avx512f,avx512vl,prefer-vector-width=512"
#define VEC_WIDEST 16
#define VEC_VECTORS Vectors::avx512
#define VEC_SET avx512_forms
#include "host_simd/host_forms_inl.h"

#else
namespace host_rows {
const HostForms* avx512_forms() { return nullptr; }
}  // namespace host_rows
#endif
