#pragma once
// --log=OFFSET: the samples of the stack as logarithms, for stacks of raw intensities.
#include <cstdint>

// Replaces each of the n samples v by ln(v + offset), computed in double and
// rounded to float. Returns the index of the first sample for which v + offset
// is not a positive finite number (it and those after it are left as they
// were), or -1 when every sample has its logarithm.
int64_t log_samples(float* values, int64_t n, double offset);
