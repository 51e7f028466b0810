// The program end to end: command line, messages, exit statuses and the output file.
#include "support/common.h"

#include <map>

#include "support/arguments.h"

namespace {

std::vector<std::string> join(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Every file of a folder by name, with its bytes (a link's target's).
std::map<std::string, std::string> files_in(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(folder)) files[e.path().filename()] = read_file(e.path());
    return files;
}

std::string progress(int slices) {
    std::string s;
    char line[64];
    for (int y = 1; y <= slices; ++y) {
        snprintf(line, sizeof line, "**Slice: %4d / %d\r", y, slices);
        s += line;
    }
    return s;
}

// Checks the final header of an nx x thickness x slices output against the samples in the file.
void expect_final_output(const std::string& path, int nx, int thickness, int slices) {
    const std::string bytes = read_file(path);
    ASSERT_EQ(bytes.size(), 1024 + (size_t)nx * thickness * slices * 4);
    const size_t n = (size_t)nx * thickness * slices;
    std::vector<float> v(n);
    std::memcpy(v.data(), bytes.data() + 1024, n * 4);
    double sum = 0;
    for (float x : v) sum += x;
    const double mean = sum / (double)n;
    double sq = 0;
    for (float x : v) sq += ((double)x - mean) * ((double)x - mean);
    const float lo = *std::min_element(v.begin(), v.end()), hi = *std::max_element(v.begin(), v.end());

    const std::string expected = expected_header(nx, thickness, slices, lo, hi, 0);
    std::string got = bytes.substr(0, 1024);
    // DMEAN and RMS depend on summation order in their last bits.
    const float dmean = f32_at(got, 84), rms = f32_at(got, 216);
    EXPECT_NEAR(dmean, mean, 1e-5 * std::max(1.0, std::fabs(mean)));
    EXPECT_NEAR(rms, std::sqrt(sq / (double)n), 1e-5 * std::max(1.0, std::sqrt(sq / (double)n)));
    put_f32(got, 84, 0);
    put_f32(got, 216, 0);
    EXPECT_EQ(got, expected);
}

}  // namespace

// The method line, the progress and the output of runs with odd options.
TEST(DriverRun, MethodLineProgressAndOutput) {
    const struct {
        std::vector<std::string> before, after;  // arguments around the file names
        std::string method_line;
        int thickness;  // 0: NX
    } cases[] = {
        {{}, {}, "[WBP]Symmetry level: 2\n", 0},
        {{"-s3"}, {}, "[WBP]Symmetry level: 3\n", 0},
        {{"-i50", "-S"}, {}, "[SIRT]Iterations: 50\n", 0},
        {{"-g0"}, {"-s1", "-z3", "extra"}, "[WBP]Symmetry level: 1\n", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.before) + testing::PrintToString(c.after));
        TiltSeries k(8, 3, 5);
        const Captured r = run_skarbel(join(join(c.before, k.files()), c.after));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, c.method_line + progress(3) + "\n\n");
        expect_final_output(k.out, 8, c.thickness ? c.thickness : 8, 3);
    }
}

// Thin slices of many tilts (61 of 70 angle lines count), a path over 255 characters, a longer output replaced.
TEST(DriverRun, ThinSlicesManyTiltsAndLongNames) {
    TiltSeries k(64, 40, 61);
    std::string folder = k.dir.path;
    while (folder.size() < 400) folder += "/" + std::string(100, 'n');
    std::filesystem::create_directories(folder);
    const std::string tlt = folder + "/angles.tlt", stack = folder + "/stack.mrc", out = folder + "/out.mrc";
    write_tilt_file(tlt, even_angles(70));
    std::filesystem::copy_file(k.stack, stack);
    write_file(out, std::string(2000000, 'x'));
    Captured r = run_skarbel({"-z10", tlt, stack, out});
    ASSERT_EQ(r.status, 0) << r.err;
    expect_final_output(out, 64, 10, 40);
}

// Every refusal: its message, exit 255, and the folder as it was.
TEST(DriverFailure, MessageStatusAndFilesUntouched) {
    using Args = std::vector<std::string>;
    const std::string over_stack = "Output file is the input tilt series; refusing to overwrite it.\n\n",
                      over_tilts = "Output file is the tilt-angle file; refusing to overwrite it.\n\n";
    const struct {
        // Spoils the series and returns the arguments; "@" in the message stands for the stack's path.
        std::function<Args(TiltSeries&)> spoil;
        std::string message, out = "[WBP]Symmetry level: 2\n";  // what the run printed before failing
        int nx = 6;
    } cases[] = {
        {[](TiltSeries& k) { std::filesystem::remove(k.stack); return k.files(); }, "\n Unable to open input file @\n\n"},
        {[](TiltSeries& k) {
             write_file(k.stack, read_file(k.stack).substr(0, 1024 + 6 * 4 * 5 * 4 - 4));
             return k.files();
         },
         "Input file too short: 1500 bytes, the header describes 1504.\n\n"},
        {[](TiltSeries& k) { write_test_stack(k.stack, 6, 0, 5, 2, {}); return k.files(); },
         "Image size not acceptable: NX 6, NY 0, NZ 5 (each must be at least 1).\n\n"},
        {[](TiltSeries& k) { std::filesystem::remove(k.tlt); return k.files(); },
         "\nUnable to open file with tilt angles.\n\n"},
        {[](TiltSeries& k) { write_tilt_file(k.tlt, even_angles(4)); return k.files(); },
         "Tilt-angle file ends before line 5: 5 angles are needed.\n\n"},
        {[](TiltSeries& k) { return Args{k.tlt, k.stack, k.dir.file("none/o.mrc")}; }, "Unable to open output file.\n\n"},
        {[](TiltSeries& k) { return Args{k.tlt, k.stack, k.stack}; }, over_stack},
        {[](TiltSeries& k) { return Args{k.tlt, k.stack, k.tlt}; }, over_tilts},
        {[](TiltSeries& k) { std::filesystem::create_hard_link(k.stack, k.out); return k.files(); }, over_stack},
        {[](TiltSeries& k) { std::filesystem::create_symlink(k.tlt, k.out); return k.files(); }, over_tilts},
        {[](TiltSeries& k) { return join({"-z1000000000"}, k.files()); },
         "Slice too large: NX * thickness = 6000000000 pixels, at most 2147483647 supported.\n\n"},
        {[](TiltSeries& k) { return Args{k.tlt, k.stack, "/dev/full"}; }, "Error writing output file.\n\n"},
        {[](TiltSeries& k) { return Args{k.tlt, k.stack, "/dev/stdout"}; },
         "Output file is the standard output; refusing to write the volume there.\n\n"},
        {[](TiltSeries& k) { return Args{k.tlt, k.stack, "/dev/stderr"}; },
         "Output file is the standard error; refusing to write the volume there.\n\n"},
        {[](TiltSeries& k) { return k.files(); }, "Image width not acceptable: NX 1 (at least 2 samples are needed).\n\n",
         "[WBP]Symmetry level: 2\n", 1},
        // Wrong arguments and a bad option's value, an existing output kept (every case: test_option_table).
        {[](TiltSeries&) { return Args{}; }, kUsage, ""},
        {[](TiltSeries& k) { write_file(k.out, "a previous result"); return join(k.files(), {"-a"}); }, kUsage, ""},
        {[](TiltSeries& k) { write_file(k.out, "a previous result"); return join({"-z4294967297"}, k.files()); },
         "Value of option -z out of range: 4294967297 (it must fit a 32-bit integer).\n\n", ""},
    };
    for (const auto& c : cases) {
        TiltSeries k(c.nx, 4, 5);
        const std::vector<std::string> args = c.spoil(k);
        std::string message = c.message;
        if (message.find('@') != std::string::npos) message.replace(message.find('@'), 1, k.stack);
        const std::map<std::string, std::string> before = files_in(k.dir.path);
        const Captured r = run_skarbel(args);
        EXPECT_EQ(r.status, 255) << message;
        EXPECT_EQ(r.err, message);
        EXPECT_EQ(r.out, c.out) << message;
        EXPECT_EQ(files_in(k.dir.path), before) << message;
    }
}
