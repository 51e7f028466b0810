// Placeholder until the weighting filter lands: leaves rows unchanged.
#include "weighting/weighting.h"

void weighting_setup(int, int) {}
void weighting_apply(Image*) {}
void weighting_filter_row(int, float*) {}
void weighting_teardown() {}
int weighting_fft_size() { return 0; }
const float* weighting_filter_spectrum() { return nullptr; }
int weighting_choose_fft_size(int) { return 0; }
