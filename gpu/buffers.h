#pragma once
// The device buffer slots of the method that runs, shared by both methods
// (null when unused). Each method's set-up fills the slots it uses; its free
// releases them and sets them back to null.
#include "io/tilt_angles.h"

extern float* d_recons;
extern float* d_sino;
extern float* d_sinoaux;
extern float* d_weights;
extern a* d_tangles;
extern float* d_matrix;
extern int* d_column;
extern int* d_column2;
extern int* d_length;
extern int* d_row1;
extern int* d_row2;
extern float* d_matrix_t;
extern int* d_column_t;
extern int* d_length_t;
extern int* d_idrow_t;
