#pragma once
// Whole MRC volumes as plain vectors, and their agreement, for end-to-end tests.
#include <string>
#include <vector>

struct Volume {
    int nx = 0, ny = 0, nz = 0;
    std::vector<float> v;  // empty when the file is not a readable MODE 2 volume
    const float* section(int z) const { return v.data() + (size_t)z * nx * ny; }
};

Volume read_volume(const std::string& path);

double mean_of(const float* x, size_t n);
// Pearson correlation of two equally long arrays, in double precision.
double correlation(const float* x, const float* y, size_t n);
inline double correlation(const std::vector<float>& x, const std::vector<float>& y) {
    return x.size() == y.size() ? correlation(x.data(), y.data(), x.size()) : 0.0;
}
