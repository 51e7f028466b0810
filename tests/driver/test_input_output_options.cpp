// --log, --mode, --scale and --rotx end to end: each against the program's
// default output (or input) transformed by a direct loop in the test, bytes of
// the data and header compared, and the messages of bad values.
#include "support/common.h"

#include <sys/stat.h>

#include <set>

#include "driver/volume_stats.h"
#include "support/output_reference.h"

namespace {

using namespace output_reference;

constexpr int kNx = 16, kNy = 5, kNz = 9, kThickness = 12;

// A stack of positive samples with a voxel size (1.5 A along X, 2.5 A along Y).
struct Inputs {
    TempDir dir;
    std::string tlt = dir.file("t.tlt"), mrc = dir.file("s.mrc");
    std::vector<float> samples;
    explicit Inputs(int mode = 2) {
        std::mt19937 rng(5);
        std::uniform_real_distribution<float> u(0.5f, 200.0f);
        for (int i = 0; i < kNx * kNy * kNz; ++i) samples.push_back(mode == 2 ? u(rng) : (float)(i * 37 % 250));
        write_stack(mrc, samples, mode);
        write_tilt_file(tlt, even_angles(kNz));
    }
    static void write_stack(const std::string& path, const std::vector<float>& v, int mode = 2) {
        write_test_stack(path, kNx, kNy, kNz, mode, v);
        std::string bytes = read_file(path);
        put_i32(bytes, 28, kNx);
        put_i32(bytes, 32, kNy);
        put_f32(bytes, 40, 1.5f * kNx);
        put_f32(bytes, 44, 2.5f * kNy);
        write_file(path, bytes);
    }
    Captured run(std::vector<std::string> options, const std::string& out) const {
        options.insert(options.end(), {"-z" + std::to_string(kThickness), tlt, mrc, out});
        return run_skarbel(options);
    }
};

struct Mrc {
    MrcHeader h;
    std::string data;
    explicit Mrc(const std::string& bytes) {
        std::memcpy(&h, bytes.data(), 1024);
        data = bytes.substr(1024);
    }
    float f32(size_t i) const { return f32_at(data, 4 * i); }
    uint16_t u16(size_t i) const {
        uint16_t v;
        std::memcpy(&v, data.data() + 2 * i, 2);
        return v;
    }
};

std::string number(double v) {
    char text[40];
    snprintf(text, sizeof text, "%.17g", v);
    return text;
}

// The header of `base` with the MODE and the statistics of the values as written.
std::string header_with(const std::string& base, int mode, const VolumeStats& s) {
    std::string h = base.substr(0, 1024);
    put_i32(h, 12, mode);
    put_f32(h, 76, s.min);
    put_f32(h, 80, s.max);
    put_f32(h, 84, volume_stats_mean(s));
    put_f32(h, 216, volume_stats_rms(s));
    return h;
}

std::set<std::string> names_in(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder)) names.insert(e.path().filename());
    return names;
}

}  // namespace

// Every mode against the float run's samples converted here: the bytes of the
// data, the header (MODE, statistics of the values as written, merged slice by
// slice), and the warning line with the count of clamped samples.
TEST(OutputModeRuns, AgainstTheFloatRunConverted) {
    Inputs in;
    const std::string float_out = in.dir.file("f.mrc"), out = in.dir.file("o.mrc");
    struct Case {
        int mode;
        double add, mult_over_max;  // MULT = mult_over_max / largest |value| of the float run
        std::vector<std::string> options;
    };
    const Case cases[] = {
        {1, 0, 40000, {"-s2"}},
        {6, 0, 70000, {"-s0", "--batch=3"}},
        {12, 0, 80000, {"-s2", "--slices=1,3"}},
        {12, 0, 0, {"-s1"}},  // no --scale
        {1, 0.25, 200, {"-S", "-i2"}},
        {2, 1.5, -2, {"-s3"}},
        {6, 0, 0, {"-s2", "--slices=2,4", "--batch=2"}},  // negatives clamp to 0
    };
    for (const Case& c : cases) {
        const std::string what = "mode " + std::to_string(c.mode) + " " + c.options[0];
        const Captured f = in.run(c.options, float_out);
        ASSERT_EQ(f.status, 0) << f.err;
        const std::string float_bytes = read_file(float_out);
        const Mrc fm(float_bytes);
        const size_t n = fm.data.size() / 4, slice = (size_t)kNx * kThickness;
        double largest = 0;
        for (size_t i = 0; i < n; ++i) largest = std::max(largest, std::fabs((double)fm.f32(i)));
        OutputFormat format{c.mode, c.add, c.mult_over_max == 0 ? 1.0 : c.mult_over_max / largest};
        std::vector<std::string> options = c.options;
        options.push_back("--mode=" + std::to_string(c.mode));
        if (c.mult_over_max != 0) options.push_back("--scale=" + number(format.add) + "," + number(format.mult));
        const Captured r = in.run(options, out);
        ASSERT_EQ(r.status, 0) << what << r.err;
        const Mrc m(read_file(out));
        // The direct loop: each sample converted, its bytes, the statistics slice by slice.
        std::string expected_data;
        std::vector<float> written(n);
        int64_t clamped = 0;
        for (size_t i = 0; i < n; ++i) {
            const Expected e = expected_value(fm.f32(i), format);
            clamped += e.clamped;
            written[i] = (float)e.value;
            if (c.mode == 2) {
                expected_data.append(reinterpret_cast<const char*>(&written[i]), 4);
                continue;
            }
            const uint16_t bits = c.mode == 12 ? half_pattern(e.value)
                                  : c.mode == 1 ? (uint16_t)(int16_t)e.value
                                                : (uint16_t)e.value;
            expected_data.append(reinterpret_cast<const char*>(&bits), 2);
        }
        VolumeStats stats;
        for (size_t s = 0; s < n / slice; ++s) volume_stats_add(&stats, written.data() + s * slice, (int64_t)slice);
        EXPECT_TRUE(m.data == expected_data) << what;
        EXPECT_EQ(read_file(out).substr(0, 1024), header_with(float_bytes, c.mode, stats)) << what;
        std::string warning;
        if (clamped > 0) {
            const ModeRange range = output_mode_range(c.mode);
            char line[160];
            snprintf(line, sizeof line, "Warning: %lld of %lld samples clamped to the range of MODE %d, %g to %g.\n",
                     (long long)clamped, (long long)n, c.mode, range.lo, range.hi);
            warning = line;
        }
        EXPECT_EQ(r.err, f.err + warning) << what;
        EXPECT_EQ(r.out, f.out) << what;
        // The scaled cases and MODE 6 of signed values each clamp some samples.
        const bool clamps = (c.mode != 2 && c.mult_over_max > 1000) || (c.mode == 6 && c.mult_over_max == 0);
        EXPECT_EQ(clamped > 0, clamps) << what;
    }
}

// --rotx holds the default output's samples turned: section k is row
// thickness - 1 - k of every slice; the header's Y and Z sizes, cell and
// starts follow, and the statistics stay those of the same samples.
TEST(OutputModeRuns, RotxIsTheDefaultVolumeTurned) {
    Inputs in;
    const std::string plain = in.dir.file("p.mrc"), turned = in.dir.file("r.mrc");
    const std::vector<std::vector<std::string>> cases = {
        {"-s2"}, {"-s0", "--slices=1,3", "--batch=2"}, {"-S", "-i2", "--mode=12"}, {"-s3", "--mode=1", "--batch=1"}};
    for (const std::vector<std::string>& options : cases) {
        const std::string what = options.back();
        ASSERT_EQ(in.run(options, plain).status, 0) << what;
        std::vector<std::string> with = options;
        with.push_back("--rotx");
        const Captured r = in.run(with, turned);
        ASSERT_EQ(r.status, 0) << what << r.err;
        const std::string p = read_file(plain), t = read_file(turned);
        ASSERT_EQ(p.size(), t.size()) << what;
        const Mrc pm(p);
        const int slices = pm.h.nz, bytes = (int)(pm.data.size() / ((size_t)kNx * kThickness * slices));
        const size_t row = (size_t)kNx * bytes;
        std::string expected;
        for (int k = 0; k < kThickness; ++k)
            for (int j = 0; j < slices; ++j) expected += pm.data.substr(((size_t)j * kThickness + kThickness - 1 - k) * row, row);
        EXPECT_TRUE(t.substr(1024) == expected) << what;
        std::string h = p.substr(0, 1024);
        put_i32(h, 4, slices);
        put_i32(h, 8, kThickness);
        put_i32(h, 20, pm.h.nzstart);  // NYSTART
        put_i32(h, 24, 0);             // NZSTART
        put_i32(h, 32, slices);
        put_i32(h, 36, kThickness);
        put_f32(h, 44, 2.5f * slices);
        put_f32(h, 48, 1.5f * kThickness);
        EXPECT_EQ(t.substr(0, 1024), h) << what;
        EXPECT_EQ(f32_at(p, 48), 2.5f * slices) << what;  // the cell the default run gives
    }
}

// --log=OFFSET gives the run on a stack logged by a direct loop (ln in double,
// rounded to float, stored as floats), whatever the stack's MODE.
TEST(LogInput, AgainstALoggedStack) {
    const struct {
        int mode;
        double offset;
        std::vector<std::string> options;
    } cases[] = {{2, 0, {"-s2"}}, {2, -0.25, {"-S", "-i2", "--slices=1,3"}}, {1, 1, {"-s0", "--batch=2"}},
                 {0, 0.5, {"-s3", "--exclude=2"}}};
    for (const auto& c : cases) {
        Inputs in(c.mode), logged;
        std::vector<float> v = in.samples;
        for (float& x : v) x = (float)std::log((double)x + c.offset);
        Inputs::write_stack(logged.mrc, v);
        std::vector<std::string> options = c.options;
        const Captured b = logged.run(options, logged.dir.file("o.mrc"));
        options.push_back("--log=" + number(c.offset));
        const Captured a = in.run(options, in.dir.file("o.mrc"));
        ASSERT_EQ(a.status, 0) << c.mode << a.err;
        EXPECT_EQ(a.out, b.out);
        EXPECT_EQ(a.err, b.err);
        EXPECT_TRUE(read_file(in.dir.file("o.mrc")) == read_file(logged.dir.file("o.mrc"))) << c.mode << " " << c.offset;
    }
}

// A sample without a logarithm ends the run as a failed read does: its place
// and value named, exit 255, the existing output untouched, no file left. In a
// section left out it is never read.
TEST(LogInput, SampleWithoutALogarithmEndsTheRun) {
    const struct {
        float value;
        double offset;
        int section, row, column;
        std::vector<std::string> options;
        std::string message;
    } cases[] = {
        {-3.5f, 3.5, 4, 2, 7, {}, "section 4, row 2, column 7 (numbered from 0) holds -3.5; v + OFFSET = 0"},
        {-10, 1, 0, 4, 15, {"--batch=1", "-S", "-i1"}, "section 0, row 4, column 15 (numbered from 0) holds -10; v + OFFSET = -9"},
        {NAN, 1, 8, 0, 0, {"--slices=0,1"}, "section 8, row 0, column 0 (numbered from 0) holds nan; v + OFFSET = nan"},
        {INFINITY, 0, 3, 3, 3, {}, "section 3, row 3, column 3 (numbered from 0) holds inf; v + OFFSET = inf"},
        {-1, 0, 2, 1, 1, {"--exclude=3"}, ""},  // section 2 is the tilt file's line 3
    };
    for (const auto& c : cases) {
        Inputs in;
        std::vector<float> v = in.samples;
        v[((size_t)c.section * kNy + c.row) * kNx + c.column] = c.value;
        Inputs::write_stack(in.mrc, v);
        const std::string out = in.dir.file("o.mrc");
        write_file(out, "a previous result");
        std::vector<std::string> options = c.options;
        options.push_back("--log=" + number(c.offset));
        const Captured r = in.run(options, out);
        if (c.message.empty()) {
            EXPECT_EQ(r.status, 0) << r.err;
            continue;
        }
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err.substr(r.err.find("\n\n") + 2),
                  "Bad input for --log: " + c.message + " must be positive and finite.\n\n");
        EXPECT_EQ(read_file(out), "a previous result");
        EXPECT_EQ(names_in(in.dir.path), (std::set<std::string>{"t.tlt", "s.mrc", "o.mrc"}));
    }
}

TEST(OutputModeRuns, BadValuesAreRefused) {
    const std::string mode = "expected 1 (16-bit integers), 2 (32-bit floats), 6 (16-bit unsigned integers) or 12 "
                             "(16-bit floats).\n\n";
    const std::string scale = "expected ADD,MULT, two finite numbers separated by a comma.\n\n";
    const std::string log = "expected OFFSET, a finite number added to every sample before the logarithm.\n\n";
    const struct {
        std::string arg, err;
    } cases[] = {
        {"--mode=3", "Bad --mode value \"3\": " + mode},
        {"--mode=", "Bad --mode value \"\": " + mode},
        {"--mode=012", "Bad --mode value \"012\": " + mode},
        {"--mode=12x", "Bad --mode value \"12x\": " + mode},
        {"--mode", "Option --mode needs a value: --mode=...\n\n"},
        {"--scale=1", "Bad --scale value \"1\": " + scale},
        {"--scale=1,", "Bad --scale value \"1,\": " + scale},
        {"--scale=1,2,3", "Bad --scale value \"1,2,3\": " + scale},
        {"--scale=nan,1", "Bad --scale value \"nan,1\": " + scale},
        {"--scale=0,inf", "Bad --scale value \"0,inf\": " + scale},
        {"--log=", "Bad --log value \"\": " + log},
        {"--log=1e999", "Bad --log value \"1e999\": " + log},
        {"--log= 1", "Bad --log value \" 1\": " + log},
        {"--rotx=1", "Option --rotx takes no value.\n\n"},
    };
    Inputs in;
    const std::string out = in.dir.file("o.mrc");
    for (const auto& c : cases) {
        const Captured r = in.run({c.arg}, out);
        EXPECT_EQ(r.status, 255) << c.arg;
        EXPECT_EQ(r.err, c.err) << c.arg;
        EXPECT_EQ(names_in(in.dir.path), (std::set<std::string>{"t.tlt", "s.mrc"})) << c.arg;
    }
}
