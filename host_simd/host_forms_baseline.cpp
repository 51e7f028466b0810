// The host forms for the baseline vector set (four lanes per vector), the set
// every processor has, and the selector of the sets.
#include "host_simd/host_forms.h"

namespace host_rows {
namespace {
bool vec_cpu_supported() { return true; }
}  // namespace
}  // namespace host_rows

#define VEC_WIDEST 4
#define VEC_VECTORS Vectors::baseline
#define VEC_SET baseline_forms
#include "host_simd/host_forms_inl.h"

namespace host_rows {

const HostForms* host_forms(Vectors v) {
    switch (v) {
        case Vectors::avx512: return avx512_forms();
        case Vectors::avx2: return avx2_forms();
        case Vectors::baseline: return baseline_forms();
    }
    return nullptr;
}

const HostForms& widest_forms() {
    static const HostForms* const widest = [] {
        const HostForms* w = baseline_forms();
        for (Vectors v : kAllVectors)
            if (host_forms(v)) w = host_forms(v);
        return w;
    }();
    return *widest;
}

const char* vectors_name(Vectors v) {
    return v == Vectors::avx512 ? "avx512" : v == Vectors::avx2 ? "avx2" : "baseline";
}

}  // namespace host_rows
