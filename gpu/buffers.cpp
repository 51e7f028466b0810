#include "gpu/buffers.h"

float* d_recons = nullptr;
float* d_sino = nullptr;
float* d_sinoaux = nullptr;
float* d_weights = nullptr;
a* d_tangles = nullptr;
float* d_matrix = nullptr;
int* d_column = nullptr;
int* d_column2 = nullptr;
int* d_length = nullptr;
int* d_row1 = nullptr;
int* d_row2 = nullptr;
float* d_matrix_t = nullptr;
int* d_column_t = nullptr;
int* d_length_t = nullptr;
int* d_idrow_t = nullptr;
