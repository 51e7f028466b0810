// The output conversions against references that find the nearest
// representable value by search: every finite half float decoded from its
// fields, and the two integers around a value.
#include "support/common.h"

#include "io/output_modes.h"
#include "support/output_reference.h"

namespace {
using namespace output_reference;

std::vector<float> test_values() {
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<float> v{0.0f, -0.0f, 0.5f, -0.5f, 1.5f, 2.5f, -2.5f, 32766.5f, 32767.5f, -32768.5f, -32767.5f,
                         65534.5f, 65535.49f, 65535.5f, 1e9f, -1e9f, inf, -inf, std::nanf(""),
                         2049.0f, 2051.0f, -2049.0f, 65504.0f, 65519.0f, 65519.996f, 65520.0f, -65520.0f, 70000.0f,
                         std::ldexp(1.0f, -24), std::ldexp(1.0f, -25), std::ldexp(3.0f, -25), std::ldexp(1.0f, -26),
                         std::ldexp(1023.5f, -24), std::ldexp(2047.5f, -24), std::ldexp(1.0f, -14), 1e-30f, 3e38f};
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
    std::uniform_int_distribution<int> exponent(-30, 20);
    for (int i = 0; i < 20000; ++i) v.push_back(std::ldexp(mantissa(rng), exponent(rng)));
    // Exact midpoints between neighbouring halves, where ties decide.
    for (int i = 0; i < 2000; ++i) {
        const uint16_t b = (uint16_t)(rng() % 0x7bff);
        v.push_back((float)((half_fields_value(b) + half_fields_value((uint16_t)(b + 1))) / 2));
    }
    return v;
}

bool same_value(float got, double expected) {
    if (std::isnan(expected)) return std::isnan(got);
    return (double)got == expected && std::signbit(got) == std::signbit(expected);
}

}  // namespace

// Every mode, with and without scaling: the value written, the clamp flag and
// the count of a whole array agree with the search references.
TEST(OutputModes, ValuesAgainstNearestBySearch) {
    const std::vector<float> values = test_values();
    const OutputFormat formats[] = {{1, 0, 1},   {6, 0, 1},     {12, 0, 1},   {2, 0, 1},
                                    {1, 3, 0.5}, {6, -7, 1e3},  {12, 0.25, 3}, {2, 1, -2}};
    for (const OutputFormat& f : formats) {
        int64_t clamped = 0;
        for (float v : values) {
            bool c = true;
            const float got = output_value(v, f, &c);
            const Expected e = expected_value(v, f);
            clamped += e.clamped;
            // Zero's sign: integers are written without one.
            const bool same = f.mode == 1 || f.mode == 6 ? (double)got == e.value : same_value(got, e.value);
            ASSERT_TRUE(same) << "mode " << f.mode << " add " << f.add << " v " << std::hexfloat << v << " got "
                              << got << " expected " << e.value;
            ASSERT_EQ(c, e.clamped) << "mode " << f.mode << " v " << std::hexfloat << v;
        }
        std::vector<float> copy = values;
        EXPECT_EQ(output_values(copy.data(), (int64_t)copy.size(), f), clamped) << f.mode;
        for (size_t i = 0; i < copy.size(); ++i) {
            bool c;
            const float one = output_value(values[i], f, &c);
            ASSERT_TRUE(std::isnan(one) ? std::isnan(copy[i]) : copy[i] == one) << i;
        }
        if (f.mode == 2 && f.mult == 1) {
            EXPECT_EQ(clamped, 0);
        }
    }
}

// Every half pattern decodes to the value of its fields and packs back to
// itself (NaN stays NaN, quiet); the integer modes pack their two's complement
// and unsigned patterns.
TEST(OutputModes, PackedPatterns) {
    for (uint32_t b = 0; b < 65536; ++b) {
        const float v = half_value((uint16_t)b);
        const bool nan = ((b >> 10) & 31) == 31 && (b & 1023) != 0;
        if (nan) {
            ASSERT_TRUE(std::isnan(v)) << b;
            ASSERT_EQ(half_bits(v) & 0x7e00, 0x7e00) << b;
            continue;
        }
        if (((b >> 10) & 31) != 31) {
            ASSERT_EQ((double)v, half_fields_value((uint16_t)b)) << b;
        }
        ASSERT_EQ(half_bits(v), b) << b;
    }
    const std::vector<float> v{-32768, -1, 0, 1, 32767};
    std::vector<uint16_t> packed(v.size());
    output_pack(v.data(), (int64_t)v.size(), 1, packed.data());
    EXPECT_EQ(packed, (std::vector<uint16_t>{0x8000, 0xffff, 0, 1, 0x7fff}));
    const std::vector<float> u{0, 1, 255, 256, 65535};
    output_pack(u.data(), (int64_t)u.size(), 6, packed.data());
    EXPECT_EQ(packed, (std::vector<uint16_t>{0, 1, 255, 256, 65535}));
    EXPECT_EQ(output_volume_bytes(3, 5, 7, 12), 1024 + 2 * 105);
    EXPECT_EQ(output_volume_bytes(3, 5, 7, 2), 1024 + 4 * 105);
}
