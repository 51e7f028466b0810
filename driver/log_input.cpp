#include "driver/log_input.h"

#include <cmath>

int64_t log_samples(float* values, int64_t n, double offset) {
    for (int64_t i = 0; i < n; ++i) {
        const double x = (double)values[i] + offset;
        if (!(x > 0) || !std::isfinite(x)) return i;
        values[i] = (float)std::log(x);
    }
    return -1;
}
