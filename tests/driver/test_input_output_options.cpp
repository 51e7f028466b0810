// --log, --mode, --scale and --rotx end to end, each against the default output
// (or input) transformed by a direct loop in the test: data and header bytes.
#include "support/common.h"

#include "driver/volume_stats.h"
#include "support/output_reference.h"

namespace {

using namespace output_reference;

constexpr int kNx = 16, kNy = 5, kNz = 9, kThickness = 12;

// Samples from 0.5 to 200 (MODE 2) or whole numbers (MODE 0, 1) in a stack
// with a voxel size: 1.5 A along X, 2.5 A along Y.
struct Inputs {
    TempDir dir;
    std::string tlt = dir.file("t.tlt"), mrc = dir.file("s.mrc"), out = dir.file("o.mrc");
    std::vector<float> samples;
    explicit Inputs(int mode = 2) {
        std::mt19937 rng(5);
        std::uniform_real_distribution<float> u(0.5f, 200.0f);
        for (int i = 0; i < kNx * kNy * kNz; ++i) samples.push_back(mode == 2 ? u(rng) : (float)(i * 37 % 250));
        write_stack(samples, mode);
        write_tilt_file(tlt, even_angles(kNz));
    }
    void write_stack(const std::vector<float>& v, int mode = 2) const {
        write_test_stack(mrc, kNx, kNy, kNz, mode, v);
        std::string bytes = read_file(mrc);
        put_i32(bytes, 28, kNx);
        put_i32(bytes, 32, kNy);
        put_f32(bytes, 40, 1.5f * kNx);
        put_f32(bytes, 44, 2.5f * kNy);
        write_file(mrc, bytes);
    }
    Captured run(std::vector<std::string> options, const std::string& to = "") const {
        options.insert(options.end(), {"-z" + std::to_string(kThickness), tlt, mrc, to.empty() ? out : to});
        return run_skarbel(options);
    }
};

std::string number(double v) {
    char text[40];
    snprintf(text, sizeof text, "%.17g", v);
    return text;
}

}  // namespace

// Every mode against the float run's samples converted here: the data bytes,
// the header (MODE, statistics of the values as written, merged slice by
// slice), and the warning line with the count of clamped samples.
TEST(OutputModeRuns, AgainstTheFloatRunConverted) {
    Inputs in;
    const std::string float_out = in.dir.file("f.mrc");
    const struct {
        int mode;
        double add, mult_over_max;  // MULT = mult_over_max / largest |value| (0: no --scale)
        std::vector<std::string> options;
        bool clamps;
    } cases[] = {
        {1, 0, 40000, {"-s2"}, true},       {6, 0, 70000, {"-s0", "--batch=3"}, true},
        {12, 0, 80000, {"-s2", "--slices=1,3"}, true}, {12, 0, 0, {"-s1"}, false},
        {1, 0.25, 200, {"-S", "-i2"}, false}, {2, 1.5, -2, {"-s3"}, false},
        {6, 0, 0, {"-s2", "--slices=2,4", "--batch=2"}, true},  // negatives clamp to 0
        {1, 0, 50000, {"-s2", "--xaxis-tilt=10", "--width=12", "--batch=2"}, true},  // formed on the writing thread
    };
    for (const auto& c : cases) {
        const std::string what = "mode " + std::to_string(c.mode) + " " + c.options[0];
        const Captured f = in.run(c.options, float_out);
        const std::string fb = read_file(float_out);
        const size_t n = (fb.size() - 1024) / 4, slice = (size_t)(i32_at(fb, 0) * i32_at(fb, 4));
        double largest = 0;
        for (size_t i = 0; i < n; ++i) largest = std::max(largest, std::fabs((double)f32_at(fb, 1024 + 4 * i)));
        const OutputFormat format{c.mode, c.add, c.mult_over_max == 0 ? 1.0 : c.mult_over_max / largest};
        std::vector<std::string> options = c.options;
        options.push_back("--mode=" + std::to_string(c.mode));
        if (c.mult_over_max != 0) options.push_back("--scale=" + number(format.add) + "," + number(format.mult));
        const Captured r = in.run(options);
        ASSERT_EQ(r.status, 0) << what << r.err;
        // The direct loop: each sample converted, its bytes, the statistics slice by slice.
        std::string data;
        std::vector<float> written(n);
        int64_t clamped = 0;
        for (size_t i = 0; i < n; ++i) {
            const Expected e = expected_value(f32_at(fb, 1024 + 4 * i), format);
            clamped += e.clamped;
            written[i] = (float)e.value;
            const uint16_t bits = c.mode == 12 ? half_pattern(e.value) : (uint16_t)(int32_t)e.value;
            if (c.mode == 2) data.append(reinterpret_cast<const char*>(&written[i]), 4);
            else data.append(reinterpret_cast<const char*>(&bits), 2);
        }
        VolumeStats s;
        for (size_t z = 0; z < n / slice; ++z) volume_stats_add(&s, written.data() + z * slice, (int64_t)slice);
        std::string header = fb.substr(0, 1024);
        put_i32(header, 12, c.mode);
        for (const auto& [offset, v] : {std::pair{76, s.min}, {80, s.max}, {84, volume_stats_mean(s)},
                                        {216, volume_stats_rms(s)}})
            put_f32(header, offset, v);
        EXPECT_TRUE(read_file(in.out) == header + data) << what;
        std::string warning(160, '\0');
        const ModeRange range = output_mode_range(c.mode);
        warning.resize((size_t)snprintf(warning.data(), warning.size(),
                                        "Warning: %lld of %lld samples clamped to the range of MODE %d, %g to %g.\n",
                                        (long long)clamped, (long long)n, c.mode, range.lo, range.hi));
        EXPECT_EQ(r.err, f.err + (clamped > 0 ? warning : "")) << what;
        EXPECT_EQ(r.out, f.out) << what;
        EXPECT_EQ(clamped > 0, c.clamps) << what;
    }
}

// --rotx holds the default output's samples turned: section k is row
// thickness - 1 - k of every slice; the header's Y and Z sizes, cell and
// starts follow, its statistics stay.
TEST(OutputModeRuns, RotxIsTheDefaultVolumeTurned) {
    Inputs in;
    const std::vector<std::vector<std::string>> cases = {
        {"-s2"}, {"-s0", "--slices=1,3", "--batch=2"}, {"-S", "-i2", "--mode=12"}, {"-s3", "--mode=1", "--batch=1"},
        {"-s2", "--xaxis-tilt=-12", "--slices=1,4"}};
    for (std::vector<std::string> options : cases) {
        const std::string what = options.back(), plain = in.dir.file("p.mrc");
        ASSERT_EQ(in.run(options, plain).status, 0) << what;
        options.push_back("--rotx");
        ASSERT_EQ(in.run(options).status, 0) << what;
        const std::string p = read_file(plain);
        MrcHeader h;
        std::memcpy(&h, p.data(), 1024);
        const size_t row = (p.size() - 1024) / ((size_t)kThickness * h.nz);
        std::string expected = p.substr(0, 1024);
        for (int k = 0; k < kThickness; ++k)
            for (int j = 0; j < h.nz; ++j) expected += p.substr(1024 + ((size_t)j * kThickness + kThickness - 1 - k) * row, row);
        for (const auto& [offset, v] : {std::pair{4, h.nz}, {8, kThickness}, {20, h.nzstart}, {24, 0}, {32, h.nz},
                                        {36, kThickness}})
            put_i32(expected, offset, v);
        put_f32(expected, 44, 2.5f * h.nz);
        put_f32(expected, 48, 1.5f * kThickness);
        EXPECT_EQ(f32_at(p, 48), 2.5f * h.nz) << what;  // the cell the default run gives
        EXPECT_TRUE(read_file(in.out) == expected) << what;
    }
}

// --log=OFFSET gives the run on a stack logged by a direct loop (ln in double,
// rounded to float) whatever the stack's MODE; a sample without a logarithm
// ends the run as a failed read does (place and value named, exit 255, the
// existing output untouched, no file left), unless its section is left out.
TEST(LogInput, AgainstALoggedStackAndBadSamples) {
    const struct {
        int mode;
        double offset;
        std::vector<std::string> options;
    } cases[] = {{2, -0.25, {"-S", "-i2", "--slices=1,3"}}, {1, 1, {"-s0", "--batch=2"}}, {0, 0.5, {"-s3", "--exclude=2"}},
                 {2, 0, {"-s2", "--bin=2"}}};  // each input sample, before its block is averaged
    for (const auto& c : cases) {
        Inputs in(c.mode), logged;
        std::vector<float> v = in.samples;
        for (float& x : v) x = (float)std::log((double)x + c.offset);
        logged.write_stack(v);
        std::vector<std::string> options = c.options;
        const Captured b = logged.run(options);
        options.push_back("--log=" + number(c.offset));
        const Captured a = in.run(options);
        ASSERT_EQ(a.status, 0) << c.mode << a.err;
        EXPECT_EQ(a.out + a.err, b.out + b.err);
        EXPECT_TRUE(read_file(in.out) == read_file(logged.out)) << c.mode << " " << c.offset;
    }
    const struct {
        float value;
        int section, row, column;
        std::vector<std::string> options;
        std::string message;
    } bad[] = {
        {-3.5f, 4, 2, 7, {"--log=3.5"}, "section 4, row 2, column 7 (numbered from 0) holds -3.5; v + OFFSET = 0"},
        {NAN, 8, 4, 15, {"--log=1", "--batch=1", "-S"}, "section 8, row 4, column 15 (numbered from 0) holds nan; v + OFFSET = nan"},
        {-2, 6, 3, 9, {"--log=1", "--bin=2"}, "section 6, row 3, column 9 (numbered from 0) holds -2; v + OFFSET = -1"},
        {-1, 2, 1, 1, {"--log=0", "--exclude=3"}, ""},  // section 2 is the tilt file's line 3
    };
    for (const auto& c : bad) {
        Inputs in;
        in.samples[((size_t)c.section * kNy + c.row) * kNx + c.column] = c.value;
        in.write_stack(in.samples);
        write_file(in.out, "a previous result");
        const Captured r = in.run(c.options);
        EXPECT_EQ(r.status, c.message.empty() ? 0 : 255) << r.err;
        if (c.message.empty()) continue;
        EXPECT_TRUE(r.err.ends_with("\n\nBad input for --log: " + c.message + " must be positive and finite.\n\n")) << r.err;
        EXPECT_EQ(read_file(in.out), "a previous result");
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(in.dir.path), {}), 3);
    }
}
