#pragma once
// The device buffers of one method's plan (empty when unused). The method's
// set-up fills the ones it uses; they are freed with the plan. Each plan holds
// its own, so plans of different sizes can live side by side.
#include "gpu/device_array.h"
#include "io/tilt_angles.h"

struct MethodBuffers {
    DeviceArray<float> d_weights;  // SIRT ray weights
    DeviceArray<a> d_tangles;
    DeviceArray<float> d_matrix;  // the half-slice or slice matrix and its indices
    DeviceArray<int> d_column;
    DeviceArray<int> d_column2;
    DeviceArray<int> d_length;
    DeviceArray<int> d_row1;
    DeviceArray<int> d_row2;
    DeviceArray<float> d_matrix_t;  // SIRT's transposed matrix
    DeviceArray<int> d_column_t;
    DeviceArray<int> d_length_t;
    DeviceArray<int> d_idrow_t;
};
