#pragma once
// The device buffers of one method's plan (null when unused). The method's
// set-up fills the ones it uses; its free releases them and sets them back to
// null. Each plan holds its own, so plans of different sizes can live side by
// side.
#include "io/tilt_angles.h"

struct MethodBuffers {
    float* d_weights = nullptr;  // SIRT ray weights
    a* d_tangles = nullptr;
    float* d_matrix = nullptr;  // the half-slice or slice matrix and its indices
    int* d_column = nullptr;
    int* d_column2 = nullptr;
    int* d_length = nullptr;
    int* d_row1 = nullptr;
    int* d_row2 = nullptr;
    float* d_matrix_t = nullptr;  // SIRT's transposed matrix
    int* d_column_t = nullptr;
    int* d_length_t = nullptr;
    int* d_idrow_t = nullptr;
};

// Releases every buffer of b and sets it back to null.
void method_buffers_free(MethodBuffers& b);
