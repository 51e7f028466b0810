#include "gpu/buffers.h"

#include "gpu/gpu_layer.h"

namespace {
template <class T>
void release(T*& p) {
    gpu_free(p);
    p = nullptr;
}
}  // namespace

void method_buffers_free(MethodBuffers& b) {
    release(b.d_weights);
    release(b.d_tangles);
    release(b.d_matrix);
    release(b.d_column);
    release(b.d_column2);
    release(b.d_length);
    release(b.d_row1);
    release(b.d_row2);
    release(b.d_matrix_t);
    release(b.d_column_t);
    release(b.d_length_t);
    release(b.d_idrow_t);
}
