#pragma once
// Host side of the two reconstruction methods on the selected device.
#include "io/tilt_angles.h"

// ---- device buffer slots, shared by both methods (null when unused) ----
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

// ---- weighted back-projection ----
void wbp_setup_sym0(const a* tangles, int sinoX, int sinoY, int reconsX, int reconsY, int Ntilts);
void wbp_setup_sym1(const a* tangles, int sinoX, int sinoY, int reconsX, int reconsY, int Ntilts);
void wbp_setup_sym2(const a* tangles, int sinoX, int sinoY, int reconsX, int reconsY, int Ntilts);
void wbp_setup_sym3(const a* tangles, int sinoX, int sinoY, int reconsX, int reconsY, int Ntilts);
void wbp_product_sym0(float* recons, const float* sino, int sinoX, int sinoY, int reconsX, int reconsY);
void wbp_product_sym1(float* recons, const float* sino, int sinoX, int sinoY, int reconsX, int reconsY, int Ntilts);
void wbp_product_sym2(float* recons, const float* sino, int sinoX, int sinoY, int reconsX, int reconsY, int Ntilts);
void wbp_product_sym3(float* recons, const float* sino, int sinoX, int sinoY, int reconsX, int reconsY, int Ntilts);
void wbp_free();

// ---- SIRT ----
void sirt_setup(const a* tangles, int sinoX, int sinoY, int reconsX, int reconsY, int Ntilts);
void sirt_reconstruct_slice(float* recons, const float* sino, int sinoX, int sinoY, int reconsX, int reconsY,
                            int iterations);
void sirt_free();
