#pragma once
// References for the output's MODE conversions that find the nearest
// representable value by search: every finite half float decoded from its
// fields, and the two integers around a value.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "io/output_modes.h"

namespace output_reference {

// The value of a half's fields, decoded by the formula of the format.
inline double half_fields_value(uint16_t bits) {
    const int s = bits >> 15, e = (bits >> 10) & 31, m = bits & 1023;
    const double magnitude = e == 0 ? std::ldexp((double)m, -24) : std::ldexp(1024.0 + m, e - 25);
    return s ? -magnitude : magnitude;
}

struct HalfTable {
    std::vector<std::pair<double, uint16_t>> finite;  // every finite half but -0, by value
    HalfTable() {
        for (uint32_t b = 0; b < 65536; ++b)
            if (((b >> 10) & 31) != 31 && b != 0x8000) finite.emplace_back(half_fields_value((uint16_t)b), (uint16_t)b);
        std::sort(finite.begin(), finite.end());
    }
};

struct Expected {
    double value;
    bool clamped;
};

// Nearest half by search, ties to the one with an even last bit; beyond the
// midpoint between 65504 and the next power of two, clamped. A zero keeps the
// sign of x, as IEEE rounding gives it.
inline Expected nearest_half_magnitude(double x);
inline Expected nearest_half(double x) {
    Expected e = nearest_half_magnitude(x);
    if (e.value == 0) e.value = std::copysign(0.0, x);
    return e;
}
inline Expected nearest_half_magnitude(double x) {
    static const HalfTable table;
    if (std::isnan(x) || std::isinf(x)) return {x, false};
    if (std::fabs(x) >= 65520.0) return {std::copysign(65504.0, x), true};
    const auto& t = table.finite;
    auto above = std::lower_bound(t.begin(), t.end(), std::pair{x, (uint16_t)0});
    if (above == t.end()) return {t.back().first, false};
    if (above == t.begin() || above->first == x) return {above->first, false};
    const auto below = above - 1;
    const double down = x - below->first, up = above->first - x;
    if (down != up) return {down < up ? below->first : above->first, false};
    return {(below->second & 1) == 0 ? below->first : above->first, false};
}

// Nearest integer by comparing the two around x, ties away from zero, then clamped.
inline Expected nearest_integer(double x, double lo, double hi) {
    if (std::isnan(x)) return {0.0, true};
    double r = x;
    if (std::isfinite(x)) {
        const double f = std::floor(x), c = std::ceil(x);
        r = x - f < c - x ? f : (x - f > c - x ? c : (x > 0 ? c : f));
    }
    if (r < lo) return {lo, true};
    if (r > hi) return {hi, true};
    return {r, false};
}

inline Expected expected_value(float v, const OutputFormat& f) {
    const double x = (f.add == 0 && f.mult == 1) ? (double)v : ((double)v + f.add) * f.mult;
    if (f.mode == 12) return nearest_half(x);
    if (f.mode == 1) return nearest_integer(x, -32768, 32767);
    if (f.mode == 6) return nearest_integer(x, 0, 65535);
    return {(double)(float)x, false};
}

// The MODE 12 pattern of a finite half value, by search of the table.
inline uint16_t half_pattern(double value) {
    if (value == 0) return std::signbit(value) ? 0x8000 : 0;
    static const HalfTable table;
    const auto at = std::lower_bound(table.finite.begin(), table.finite.end(), std::pair{value, (uint16_t)0});
    return at->second;
}

}  // namespace output_reference
