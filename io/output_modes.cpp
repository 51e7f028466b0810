#include "io/output_modes.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

constexpr double kHalfMax = 65504.0;

// x rounded to the nearest half-float value, ties to the even one, with the
// exponent unbounded above: the quantum of a half with x's exponent e is
// 2^(e - 10), and 2^-24 for every x below 2^-14 (subnormal halves). Dividing
// and multiplying by a power of two are exact, so one rounding takes place.
double half_round(double x) {
    const uint64_t bits = std::bit_cast<uint64_t>(x);
    int e = (int)((bits >> 52) & 0x7ff) - 1023;
    if (e < -14) e = -14;
    const double quantum = std::bit_cast<double>((uint64_t)(e - 10 + 1023) << 52);
    return std::nearbyint(x / quantum) * quantum;
}

double scaled(float v, const OutputFormat& f) {
    if (f.add == 0 && f.mult == 1) return v;
    return ((double)v + f.add) * f.mult;
}

}  // namespace

int output_sample_bytes(int mode) { return mode == 2 ? 4 : 2; }

int64_t output_volume_bytes(int nx, int ny, int nz, int mode) {
    return 1024 + (int64_t)output_sample_bytes(mode) * nx * ny * nz;
}

ModeRange output_mode_range(int mode) {
    switch (mode) {
        case 1: return {-32768.0, 32767.0};
        case 6: return {0.0, 65535.0};
        case 12: return {-kHalfMax, kHalfMax};
        default: return {-(double)std::numeric_limits<float>::max(), (double)std::numeric_limits<float>::max()};
    }
}

bool output_format_is_identity(const OutputFormat& f) { return f.mode == 2 && f.add == 0 && f.mult == 1; }

float output_value(float v, const OutputFormat& f, bool* clamped) {
    const double x = scaled(v, f);
    *clamped = false;
    if (f.mode == 2) return (float)x;
    if (f.mode == 12) {
        const double h = half_round(x);
        if (!std::isfinite(x) || std::fabs(h) <= kHalfMax) return (float)h;
        *clamped = true;  // finite, rounded beyond the largest half
        return x < 0 ? -(float)kHalfMax : (float)kHalfMax;
    }
    const ModeRange range = output_mode_range(f.mode);
    const double r = std::round(x);  // ties away from zero
    if (r >= range.lo && r <= range.hi) return (float)r;
    *clamped = true;
    if (std::isnan(r)) return 0.0f;
    return (float)(r < range.lo ? range.lo : range.hi);
}

int64_t output_values(float* values, int64_t n, const OutputFormat& f) {
    if (output_format_is_identity(f)) return 0;
    int64_t clamped = 0;
#pragma omp parallel for reduction(+ : clamped) schedule(static)
    for (int64_t i = 0; i < n; ++i) {
        bool c;
        values[i] = output_value(values[i], f, &c);
        clamped += c;
    }
    return clamped;
}

uint16_t half_bits(float value) {
    const uint32_t b = std::bit_cast<uint32_t>(value);
    const uint16_t sign = (uint16_t)((b >> 16) & 0x8000);
    const uint32_t a = b & 0x7fffffff;
    if (a >= 0x7f800000)  // infinity, or NaN with its payload's top bits and the quiet bit
        return (uint16_t)(sign | 0x7c00 | (a > 0x7f800000 ? 0x200 | ((a >> 13) & 0x3ff) : 0));
    if (a < 0x38800000)  // below 2^-14: a subnormal half, a whole number of 2^-24
        return (uint16_t)(sign | (uint16_t)(std::bit_cast<float>(a) * 16777216.0f));
    return (uint16_t)(sign | ((a - 0x38000000) >> 13));  // exponent rebiased from 127 to 15
}

float half_value(uint16_t bits) {
    const uint32_t sign = (uint32_t)(bits & 0x8000) << 16, e = (bits >> 10) & 0x1f, m = bits & 0x3ff;
    if (e == 0) return std::bit_cast<float>(sign | std::bit_cast<uint32_t>((float)m / 16777216.0f));
    if (e == 31) return std::bit_cast<float>(sign | 0x7f800000 | (m << 13));
    return std::bit_cast<float>(sign | ((e + 112) << 23) | (m << 13));
}

uint16_t output_bits16(float value, int mode) {
    if (mode == 12) return half_bits(value);
    if (mode == 1) return (uint16_t)(int16_t)value;
    return (uint16_t)value;
}

void output_pack(const float* values, int64_t n, int mode, void* out) {
    if (mode == 2) {
        if (out != values) std::memcpy(out, values, (size_t)n * sizeof(float));
        return;
    }
    auto* o = static_cast<uint16_t*>(out);
    for (int64_t i = 0; i < n; ++i) o[i] = output_bits16(values[i], mode);
}
