// Output conversions against references, and --log, --mode, --scale and --rotx against direct loops.
#include "support/common.h"

#include <iomanip>
#include <sstream>

#include "driver/volume_stats.h"
#include "io/output_modes.h"

namespace {

struct Expected {
    double value;
    bool clamped;
    uint16_t bits;  // the 16-bit pattern of the value (MODE 1, 6, 12)
};

// (v + add) * mult in double, then the nearest half (+-65504 at most) or integer (ties away from zero), NaN as 0.
Expected expected_value(float v, const OutputFormat& f) {
    const double x = (f.add == 0 && f.mult == 1) ? (double)v : ((double)v + f.add) * f.mult;
    if (f.mode == 2) return {(double)(float)x, false, 0};
    if (f.mode == 12) {
        _Float16 h = (_Float16)x;
        const bool clamped = std::isinf((double)h) && std::isfinite(x);
        if (clamped) h = (_Float16)std::copysign(65504.0, x);
        return {(double)h, clamped, std::bit_cast<uint16_t>(h)};
    }
    const double lo = f.mode == 1 ? -32768 : 0, hi = f.mode == 1 ? 32767 : 65535;
    if (std::isnan(x)) return {0.0, true, 0};
    const double fl = std::floor(x), c = std::ceil(x);
    const double r = !std::isfinite(x) ? x : x - fl < c - x ? fl : x - fl > c - x ? c : x > 0 ? c : fl;
    const double v16 = std::clamp(r, lo, hi);
    return {v16, v16 != r, (uint16_t)(int32_t)v16};
}

constexpr int kNx = 16, kNy = 5, kNz = 9, kThickness = 12;

// Samples from 0.5 to 200 (MODE 2) or whole numbers (MODE 0, 1).
struct Inputs {
    TempDir dir;
    std::string tlt = dir.file("t.tlt"), mrc = dir.file("s.mrc"), out = dir.file("o.mrc");
    std::vector<float> samples;
    explicit Inputs(int mode = 2) {
        std::mt19937 rng(5);
        std::uniform_real_distribution<float> u(0.5f, 200.0f);
        for (int i = 0; i < kNx * kNy * kNz; ++i) samples.push_back(mode == 2 ? u(rng) : (float)(i * 37 % 250));
        write_test_stack(mrc, kNx, kNy, kNz, mode, samples);
        write_tilt_file(tlt, even_angles(kNz));
    }
    Captured run(std::vector<std::string> options, const std::string& to = "") const {
        options.insert(options.end(), {"-z" + std::to_string(kThickness), tlt, mrc, to.empty() ? out : to});
        return run_skarbel(options);
    }
};

std::string number(double v) { return (std::ostringstream() << std::setprecision(17) << v).str(); }

}  // namespace

// Every mode, scaled or not, on ties, subnormals, range ends, infinities, NaN and random values.
TEST(OutputModes, ValuesAgainstNearestBySearch) {
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<float> values{0.0f, -0.0f, 0.5f, -0.5f, 1.5f, 2.5f, -2.5f, 32767.5f, -32768.5f, -32767.5f, 65535.5f,
                              65535.49f, 1e9f, -1e9f, inf, -inf, std::nanf(""), 2049.0f, 2051.0f, -2049.0f, 65504.0f,
                              65519.996f, 65520.0f, -65520.0f, std::ldexp(1.0f, -25), std::ldexp(3.0f, -25),
                              std::ldexp(1.0f, -26), std::ldexp(2047.5f, -24), 1e-30f, 3e38f};
    std::mt19937 rng(11);
    for (int i = 0; i < 20000; ++i) values.push_back(std::ldexp((float)(int32_t)rng() / 2147483648.0f, (int)(rng() % 51) - 30));
    for (int i = 0; i < 2000; ++i) {  // midpoints of neighbouring halves, where ties decide
        const uint16_t b[2] = {(uint16_t)(rng() % 0x7bff), (uint16_t)(b[0] + 1)};
        _Float16 h[2];
        std::memcpy(h, b, 4);
        values.push_back((float)(((double)h[0] + (double)h[1]) / 2));
    }
    for (const OutputFormat& f : {OutputFormat{1, 0, 1}, {6, 0, 1}, {12, 0, 1}, {2, 0, 1}, {1, 3, 0.5}, {6, -7, 1e3},
                                  {12, 0.25, 3}, {2, 1, -2}}) {
        std::vector<float> copy = values;
        const int64_t clamped = output_values(copy.data(), (int64_t)copy.size(), f);
        std::vector<uint16_t> packed(copy.size());
        if (f.mode != 2) output_pack(copy.data(), (int64_t)copy.size(), f.mode, packed.data());
        int64_t expected_clamped = 0;
        for (size_t i = 0; i < copy.size(); ++i) {
            const Expected e = expected_value(values[i], f);
            expected_clamped += e.clamped;
            // Floats keep the sign of a zero; integers have none.
            const bool sign = f.mode == 1 || f.mode == 6 || std::signbit(copy[i]) == std::signbit(e.value);
            ASSERT_TRUE(std::isnan(e.value) ? std::isnan(copy[i]) : copy[i] == (float)e.value && sign)
                << f.mode << " " << std::hexfloat << values[i] << " got " << copy[i];
            ASSERT_TRUE(f.mode == 2 || std::isnan(copy[i]) || packed[i] == e.bits) << std::hexfloat << values[i];
        }
        EXPECT_EQ(clamped, expected_clamped) << f.mode;
    }
}

// Every mode against the float run converted here: data bytes, header and the clamped-count warning.
TEST(OutputModeRuns, AgainstTheFloatRunConverted) {
    Inputs in;
    const struct {
        int mode;
        double add, mult_over_max;  // MULT = mult_over_max / largest |value| (0: no --scale)
        std::vector<std::string> options;
    } cases[] = {
        {1, 0, 40000, {"-s2"}}, {6, 0, 70000, {"-s0", "--batch=3"}}, {12, 0, 80000, {"-s2", "--slices=1,3"}},
        {12, 0, 0, {"-s1"}}, {1, 0.25, 200, {"-S", "-i2"}}, {2, 1.5, -2, {"-s3"}},
        {6, 0, 0, {"-s2", "--slices=2,4", "--batch=2"}},  // negatives clamp to 0
        {1, 0, 50000, {"-s2", "--xaxis-tilt=10", "--width=12", "--batch=2"}},  // formed on the writing thread
    };
    for (const auto& c : cases) {
        const std::string what = "mode " + std::to_string(c.mode) + " " + c.options.back();
        const Captured f = in.run(c.options, in.dir.file("f.mrc"));
        const std::string fb = read_file(in.dir.file("f.mrc"));
        const size_t n = (fb.size() - 1024) / 4, slice = (size_t)(i32_at(fb, 0) * i32_at(fb, 4));
        double largest = 0;
        for (size_t i = 0; i < n; ++i) largest = std::max(largest, std::fabs((double)f32_at(fb, 1024 + 4 * i)));
        const OutputFormat format{c.mode, c.add, c.mult_over_max == 0 ? 1.0 : c.mult_over_max / largest};
        std::vector<std::string> options = c.options;
        options.push_back("--mode=" + std::to_string(c.mode));
        if (c.mult_over_max != 0) options.push_back("--scale=" + number(format.add) + "," + number(format.mult));
        const Captured r = in.run(options);
        std::string data;
        std::vector<float> written(n);
        int64_t clamped = 0;
        for (size_t i = 0; i < n; ++i) {
            const Expected e = expected_value(f32_at(fb, 1024 + 4 * i), format);
            clamped += e.clamped;
            written[i] = (float)e.value;
            data.append(c.mode == 2 ? reinterpret_cast<const char*>(&written[i]) : reinterpret_cast<const char*>(&e.bits),
                        c.mode == 2 ? 4 : 2);
        }
        VolumeStats s;
        for (size_t z = 0; z < n / slice; ++z) volume_stats_add(&s, written.data() + z * slice, (int64_t)slice);
        std::string header = fb.substr(0, 1024);
        put_i32(header, 12, c.mode);
        for (const auto& [at, v] : {std::pair{76, s.min}, {80, s.max}, {84, volume_stats_mean(s)}, {216, volume_stats_rms(s)}})
            put_f32(header, at, v);
        EXPECT_TRUE(read_file(in.out) == header + data) << what;
        char warning[160];
        snprintf(warning, sizeof warning, "Warning: %lld of %lld samples clamped to the range of MODE %d, %g to %g.\n",
                 (long long)clamped, (long long)n, c.mode, output_mode_range(c.mode).lo, output_mode_range(c.mode).hi);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out + r.err, f.out + f.err + (clamped > 0 ? warning : "")) << what;
        EXPECT_EQ(clamped > 0, c.mode != 2 && (c.mult_over_max > 1000 || c.mode == 6)) << what;
    }
}

// --rotx: section k is row thickness - 1 - k of every slice; Y and Z swap sizes and starts.
TEST(OutputModeRuns, RotxIsTheDefaultVolumeTurned) {
    Inputs in;
    for (std::vector<std::string> options : std::vector<std::vector<std::string>>{
             {"-s2"}, {"-s0", "--slices=1,3", "--batch=2"}, {"-S", "-i2", "--mode=12"}, {"-s3", "--mode=1", "--batch=1"},
             {"-s2", "--xaxis-tilt=-12", "--slices=1,4"}}) {
        ASSERT_EQ(in.run(options, in.dir.file("p.mrc")).status, 0);
        options.push_back("--rotx");
        ASSERT_EQ(in.run(options).status, 0);
        const std::string p = read_file(in.dir.file("p.mrc"));
        const int slices = i32_at(p, 8);
        const size_t row = (p.size() - 1024) / ((size_t)kThickness * slices);
        std::string expected = p.substr(0, 1024);
        for (int k = 0; k < kThickness; ++k)
            for (int j = 0; j < slices; ++j) expected += p.substr(1024 + ((size_t)j * kThickness + kThickness - 1 - k) * row, row);
        for (const auto& [at, v] : {std::pair{4, slices}, {8, kThickness}, {20, i32_at(p, 24)}, {24, 0}, {32, slices},
                                    {36, kThickness}})
            put_i32(expected, at, v);
        EXPECT_TRUE(read_file(in.out) == expected) << options[options.size() - 2];
    }
}

// --log=OFFSET gives the run on a stack logged by a direct loop; a sample without a logarithm fails as a bad read.
TEST(LogInput, AgainstALoggedStackAndBadSamples) {
    for (const auto& [mode, offset, options] : std::vector<std::tuple<int, double, std::vector<std::string>>>{
             {2, -0.25, {"-S", "-i2", "--slices=1,3"}}, {1, 1, {"-s0", "--batch=2"}}, {0, 0.5, {"-s3", "--exclude=2"}},
             {2, 0, {"-s2", "--bin=2"}}}) {
        Inputs in(mode), logged;
        std::vector<float> v = in.samples;
        for (float& x : v) x = (float)std::log((double)x + offset);
        write_test_stack(logged.mrc, kNx, kNy, kNz, 2, v);
        const Captured b = logged.run(options);
        std::vector<std::string> with = options;
        with.push_back("--log=" + number(offset));
        const Captured a = in.run(with);
        EXPECT_EQ(a.out + a.err, b.out + b.err);
        EXPECT_TRUE(a.status == 0 && read_file(in.out) == read_file(logged.out)) << mode << " " << offset;
    }
    Inputs in;
    in.samples[(size_t)(6 * kNy + 3) * kNx + 9] = -2;  // read, with --bin=2, in binned row 1
    write_test_stack(in.mrc, kNx, kNy, kNz, 2, in.samples);
    write_file(in.out, "a previous result");
    const Captured r = in.run({"--log=1", "--bin=2", "-S"});
    EXPECT_TRUE(r.status == 255 && r.err.ends_with("\n\nBad input for --log: section 6, row 3, column 9 (numbered from 0) holds -2; v + "
                                "OFFSET = -1 must be positive and finite.\n\n"))
        << r.err;
    EXPECT_EQ(read_file(in.out), "a previous result");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(in.dir.path), {}), 3);
}
