// The program run end to end: command line, messages, exit statuses and the
// output file. Slices may hold any values; header statistics are checked
// against the data actually in the file.
#include "support/common.h"
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

namespace {

const std::string kUsage =
    "\nUsage:\t skarbel [-z thickness] [-g gpu] [-s symmetry_level] [-S] [-i sirt_iterations] <tilt_file> "
    "<input_tiltseries> <output_rec3d> \n\n";

using Case = TiltSeries;

std::vector<std::string> join(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
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

// Checks the final header of an nx x thickness x slices output against the
// format and against the samples in the file.
void expect_final_output(const std::string& path, int nx, int thickness, int slices,
                         std::vector<float> cell = {0, 0, 0}) {
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

    std::string expected = expected_header(nx, thickness, slices, lo, hi, 0);
    for (int k = 0; k < 3; ++k) put_f32(expected, 40 + 4 * k, cell[k]);
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

struct UsageCase {
    const char* name;
    std::vector<std::string> before, after;  // arguments around the three file names
    int names;                               // how many file names to pass
};

void PrintTo(const UsageCase& c, std::ostream* os) { *os << c.name; }

class DriverUsage : public ::testing::TestWithParam<UsageCase> {};

TEST_P(DriverUsage, PrintsTheUsageTextAndFails) {
    const UsageCase& c = GetParam();
    Case k(4, 2, 3);
    std::vector<std::string> names = k.files();
    names.resize(c.names);
    Captured r = run_skarbel(join(join(c.before, names), c.after));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, kUsage);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(std::filesystem::exists(k.out));
}

INSTANTIATE_TEST_SUITE_P(Cases, DriverUsage,
                         ::testing::Values(UsageCase{"no_arguments", {}, {}, 0},
                                           UsageCase{"two_names", {}, {}, 2},
                                           UsageCase{"unknown_letter_after_names", {}, {"-a"}, 3},
                                           UsageCase{"z_value_detached", {"-z", "256"}, {}, 3},
                                           UsageCase{"i_without_value", {"-S", "-i"}, {}, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

struct MethodCase {
    const char* name;
    std::vector<std::string> before, after;
    std::string method_line;
    int thickness;  // 0: NX
};

void PrintTo(const MethodCase& c, std::ostream* os) { *os << c.name; }

class DriverRun : public ::testing::TestWithParam<MethodCase> {};

TEST_P(DriverRun, MethodLineProgressAndOutput) {
    const MethodCase& c = GetParam();
    Case k(8, 3, 5);
    Captured r = run_skarbel(join(join(c.before, k.files()), c.after));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, c.method_line + progress(3) + "\n\n");
    expect_final_output(k.out, 8, c.thickness ? c.thickness : 8, 3);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DriverRun,
    ::testing::Values(MethodCase{"defaults", {}, {}, "[WBP]Symmetry level: 2\n", 0},
                      MethodCase{"level3", {"-s3"}, {}, "[WBP]Symmetry level: 3\n", 0},
                      MethodCase{"level4_clamped", {"-s4"}, {}, "[WBP]Symmetry level: 2\n", 0},
                      MethodCase{"negative_clamped", {"-s-1"}, {}, "[WBP]Symmetry level: 2\n", 0},
                      MethodCase{"no_digits_level0", {"-sabc"}, {}, "[WBP]Symmetry level: 0\n", 0},
                      MethodCase{"last_level_wins", {"-s3", "-s1x"}, {}, "[WBP]Symmetry level: 1\n", 0},
                      MethodCase{"sirt_ignores_level", {"-S", "-s9"}, {}, "[SIRT]Iterations: 30\n", 0},
                      MethodCase{"sirt_iterations", {"-i50", "-Sjunk"}, {}, "[SIRT]Iterations: 50\n", 0},
                      MethodCase{"gpu_and_thickness_twice", {"-g0", "-z4", "-z5"}, {}, "[WBP]Symmetry level: 2\n", 5},
                      MethodCase{"options_after_names", {}, {"-s1", "-z3", "extra"}, "[WBP]Symmetry level: 1\n", 3}),
    [](const auto& info) { return std::string(info.param.name); });

// Thin slices of a stack with many tilts (only the first 61 of 70 angle lines
// count); the output carries the input's voxel size.
TEST(DriverRun, ThinSlicesManyTiltsAndTheInputSpacing) {
    Case k(64, 40, 61);
    write_tilt_file(k.tlt, even_angles(70));
    std::string bytes = read_file(k.stack);
    put_i32(bytes, 28, 64);  // MX, MY
    put_i32(bytes, 32, 40);
    put_f32(bytes, 40, 64 * 2.5f);  // 2.5 A along X
    put_f32(bytes, 44, 40 * 4.0f);  // 4 A along Y
    write_file(k.stack, bytes);
    Captured r = run_skarbel(join({"-z10"}, k.files()));
    ASSERT_EQ(r.status, 0) << r.err;
    expect_final_output(k.out, 64, 10, 40, {64 * 2.5f, 10 * 2.5f, 40 * 4.0f});
}

// The same values in any mode, byte order or extended header give the same volume.
TEST(DriverRun, InputsGiveTheSameOutputAsAFloatStack) {
    Case reference(12, 4, 7);
    ASSERT_EQ(run_skarbel(join({"-s0"}, reference.files())).status, 0);
    for (const auto& [mode, other_order, nsymbt] : {std::tuple{0, true, 0}, {1, true, 64}, {2, true, 1024}}) {
        Case k(12, 4, 7, mode, other_order, nsymbt);
        Captured r = run_skarbel(join({"-s0"}, k.files()));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(read_file(k.out), read_file(reference.out)) << "mode " << mode;
    }
}

struct FailureCase {
    const char* name;
    // Spoils the case and returns the arguments; "@" in the message stands for the stack's path.
    std::function<std::vector<std::string>(Case&)> spoil;
    std::string message;
    bool output_created;
    std::string out = "[WBP]Symmetry level: 2\n";  // what the run printed before failing
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class DriverFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(DriverFailure, MessageAndStatus) {
    Case k(6, 4, 5);
    const std::vector<std::string> args = GetParam().spoil(k);
    std::string message = GetParam().message;
    if (message.find('@') != std::string::npos) message.replace(message.find('@'), 1, k.stack);
    const std::string stack_before = read_file(k.stack), tilts_before = read_file(k.tlt);
    Captured r = run_skarbel(args);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, message);
    EXPECT_EQ(r.out, GetParam().out);
    EXPECT_EQ(std::filesystem::exists(k.out), GetParam().output_created);
    EXPECT_EQ(read_file(k.stack), stack_before);
    EXPECT_EQ(read_file(k.tlt), tilts_before);
}

using Args = std::vector<std::string>;
const std::string kOverStack = "Output file is the input tilt series; refusing to overwrite it.\n\n";
const std::string kOverTilts = "Output file is the tilt-angle file; refusing to overwrite it.\n\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, DriverFailure,
    ::testing::Values(
        FailureCase{"negative_thickness", [](Case& k) { return join({"-z-5"}, k.files()); },
                    "Thickness must be at least 1 pixel (got -5).\n\n", false, ""},
        FailureCase{"missing_stack", [](Case& k) { std::filesystem::remove(k.stack); return k.files(); },
                    "\n Unable to open input file @\n\n", false},
        FailureCase{"truncated_stack",
                    [](Case& k) {
                        write_file(k.stack, read_file(k.stack).substr(0, 1024 + 6 * 4 * 5 * 4 - 4));
                        return k.files();
                    },
                    "Input file too short: 1500 bytes, the header describes 1504.\n\n", false},
        FailureCase{"stack_without_rows", [](Case& k) { write_test_stack(k.stack, 6, 0, 5, 2, {}); return k.files(); },
                    "Image size not acceptable: NX 6, NY 0, NZ 5 (each must be at least 1).\n\n", false},
        FailureCase{"missing_tilt_file", [](Case& k) { std::filesystem::remove(k.tlt); return k.files(); },
                    "\nUnable to open file with tilt angles.\n\n", false},
        FailureCase{"too_few_angles", [](Case& k) { write_tilt_file(k.tlt, even_angles(4)); return k.files(); },
                    "Tilt-angle file ends before line 5: 5 angles are needed.\n\n", false},
        FailureCase{"output_folder_missing", [](Case& k) { return Args{k.tlt, k.stack, k.dir.file("none/o.mrc")}; },
                    "Unable to open output file.\n\n", false},
        FailureCase{"output_is_the_stack", [](Case& k) { return Args{k.tlt, k.stack, k.stack}; }, kOverStack, false},
        FailureCase{"output_is_the_tilt_file", [](Case& k) { return Args{k.tlt, k.stack, k.tlt}; }, kOverTilts, false},
        FailureCase{"output_links_to_the_stack",
                    [](Case& k) { std::filesystem::create_hard_link(k.stack, k.out); return k.files(); }, kOverStack,
                    true},
        FailureCase{"output_symlinks_to_the_tilt_file",
                    [](Case& k) { std::filesystem::create_symlink(k.tlt, k.out); return k.files(); }, kOverTilts, true},
        FailureCase{"slice_too_large", [](Case& k) { return join({"-z1000000000"}, k.files()); },
                    "Slice too large: NX * thickness = 6000000000 pixels, at most 2147483647 supported.\n\n", false},
        FailureCase{"full_device", [](Case& k) { return Args{k.tlt, k.stack, "/dev/full"}; },
                    "Error writing output file.\n\n", false}),
    [](const auto& info) { return std::string(info.param.name); });

// An existing longer output is replaced whole; names may be longer than 255 characters.
TEST(DriverOutput, ReplacesAnExistingOutputOfAnyNameLength) {
    Case k(6, 4, 5);
    std::string folder = k.dir.path;
    while (folder.size() < 400) folder += "/" + std::string(100, 'n');
    std::filesystem::create_directories(folder);
    const std::string tlt = folder + "/angles.tlt", stack = folder + "/stack.mrc", out = folder + "/out.mrc";
    std::filesystem::copy_file(k.tlt, tlt);
    std::filesystem::copy_file(k.stack, stack);
    write_file(out, std::string(100000, 'x'));
    Captured r = run_skarbel({tlt, stack, out});
    ASSERT_EQ(r.status, 0) << r.err;
    expect_final_output(out, 6, 6, 4);
}

TEST(DriverOutput, RunStoppedInTheLoopKeepsTheExistingOutput) {
    // An input that cannot seek (a named pipe) passes the header checks and
    // fails at the first sinogram row, after the provisional header is written
    // to the temporary file.
    Case k(6, 3, 5);
    const std::string fifo = k.dir.file("fifo.mrc");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // With a voxel size, which the provisional header carries too.
    std::string bytes = read_file(k.stack);
    put_i32(bytes, 28, 6);
    put_i32(bytes, 32, 3);
    put_f32(bytes, 40, 6 * 2.5f);
    put_f32(bytes, 44, 3 * 4.0f);
    signal(SIGPIPE, SIG_IGN);
    std::thread feeder([&] {
        FILE* f = fopen(fifo.c_str(), "w");
        if (!f) return;
        fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
    });
    write_file(k.out, "a previous result");
    Captured r = run_skarbel({"-z4", k.tlt, fifo, k.out});
    // Should the program have ended before opening the pipe, this releases the feeder.
    const int unblock = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    feeder.join();
    if (unblock >= 0) close(unblock);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "[WBP]Symmetry level: 2\n**Slice:    1 / 3\r");
    const std::string tail = "Error reading input file " + fifo + ": row 0 of section 0.\n\n";
    EXPECT_TRUE(r.err.ends_with(tail)) << r.err;
    EXPECT_EQ(read_file(k.out), "a previous result");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(k.dir.path), {}), 4);  // no temporary file left
}
