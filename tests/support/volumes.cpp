#include "support/volumes.h"

#include <cmath>

#include "io/image.h"

Volume read_volume(const std::string& path) {
    Volume vol;
    const std::unique_ptr<Image> image = image_new();
    if (image_read_volume(path.c_str(), image.get()) == 0 && image->data) {
        vol.nx = image->nx;
        vol.ny = image->ny;
        vol.nz = image->nz;
        const float* p = image->data[0][0];
        vol.v.assign(p, p + (size_t)vol.nx * vol.ny * vol.nz);
    }
    return vol;
}

double mean_of(const float* x, size_t n) {
    double s = 0;
    for (size_t i = 0; i < n; ++i) s += x[i];
    return s / (double)n;
}

double correlation(const float* x, const float* y, size_t n) {
    const double mx = mean_of(x, n), my = mean_of(y, n);
    double sxy = 0, sxx = 0, syy = 0;
    for (size_t i = 0; i < n; ++i) {
        sxy += (x[i] - mx) * (y[i] - my);
        sxx += (x[i] - mx) * (x[i] - mx);
        syy += (y[i] - my) * (y[i] - my);
    }
    return sxy / std::sqrt(sxx * syy);
}
