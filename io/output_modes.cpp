#include "io/output_modes.h"

#include <immintrin.h>

#include <algorithm>
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

// The processor converts floats to halves and back in one instruction for 8
// samples, rounding to nearest even as output_value does.
bool has_f16c() {
    static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("f16c");
    return has;
}

// MODE 12 without scaling, 8 samples at a time: finite values that would
// round beyond the largest half (|v| >= 65520) take +-65504 first, then each
// value goes to a half and back. Returns the samples clamped; the tail of
// fewer than 8 samples is left to the caller.
__attribute__((target("avx2,f16c"))) int64_t halves_by_8(float* values, int64_t n) {
    const __m256 sign = _mm256_set1_ps(-0.0f), limit = _mm256_set1_ps(65520.0f);
    const __m256 inf = _mm256_set1_ps(std::numeric_limits<float>::infinity()), top = _mm256_set1_ps((float)kHalfMax);
    int64_t clamped = 0;
    for (int64_t i = 0; i + 8 <= n; i += 8) {
        __m256 x = _mm256_loadu_ps(values + i);
        const __m256 a = _mm256_andnot_ps(sign, x);
        const __m256 over = _mm256_and_ps(_mm256_cmp_ps(a, limit, _CMP_GE_OQ), _mm256_cmp_ps(a, inf, _CMP_LT_OQ));
        x = _mm256_blendv_ps(x, _mm256_or_ps(top, _mm256_and_ps(x, sign)), over);
        clamped += __builtin_popcount((unsigned)_mm256_movemask_ps(over));
        _mm256_storeu_ps(values + i, _mm256_cvtph_ps(_mm256_cvtps_ph(x, _MM_FROUND_TO_NEAREST_INT)));
    }
    return clamped;
}

// Packs values that halves represent exactly, 8 at a time; returns how many were packed.
__attribute__((target("avx2,f16c"))) int64_t pack_halves_by_8(const float* values, int64_t n, uint16_t* out) {
    int64_t i = 0;
    for (; i + 8 <= n; i += 8)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                         _mm256_cvtps_ph(_mm256_loadu_ps(values + i), _MM_FROUND_TO_NEAREST_INT));
    return i;
}

// output_value over n samples, one after another.
int64_t values_one_by_one(float* values, int64_t n, const OutputFormat& f) {
    int64_t clamped = 0;
    for (int64_t i = 0; i < n; ++i) {
        bool c;
        values[i] = output_value(values[i], f, &c);
        clamped += c;
    }
    return clamped;
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

int64_t output_values_here(float* values, int64_t n, const OutputFormat& f) {
    if (output_format_is_identity(f)) return 0;
    const bool by_8 = f.mode == 12 && f.add == 0 && f.mult == 1 && has_f16c();
    const int64_t done = by_8 ? n / 8 * 8 : 0;
    int64_t clamped = by_8 ? halves_by_8(values, done) : 0;
    return clamped + values_one_by_one(values + done, n - done, f);
}

int64_t output_values(float* values, int64_t n, const OutputFormat& f) {
    if (output_format_is_identity(f)) return 0;
    constexpr int64_t kBlock = 16384;
    int64_t clamped = 0;
#pragma omp parallel for reduction(+ : clamped) schedule(static)
    for (int64_t b = 0; b < n; b += kBlock) clamped += output_values_here(values + b, std::min(kBlock, n - b), f);
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
    const int64_t done = mode == 12 && has_f16c() ? pack_halves_by_8(values, n, o) : 0;
    for (int64_t i = done; i < n; ++i) o[i] = output_bits16(values[i], mode);
}
