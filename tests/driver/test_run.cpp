// The run sequence and its sinks: the same slices in a file, an array and slabs; the output removed on an error.
#include "support/common.h"

#include "driver/binned_lengths.h"
#include "driver/run.h"
#include "driver/run_steps.h"
#include "io/fail.h"
#include "support/arguments.h"
#include "support/volumes.h"

namespace {

RunOptions options_for(const TiltSeries& k, const std::vector<std::string>& args) { return parse_words(args, k.files()); }

// Every slice of the run handed to `slabs` (the whole range when empty), as an array.
std::vector<float> slabs_of(const RunOptions& o, const ArrayStack& stack, const std::vector<SliceRange>& slabs,
                            size_t* slice_floats) {
    std::vector<float> v;
    RunSink sink;
    sink.converts = false;
    sink.open = [&](Run& run) { *slice_floats = run_section_floats(run); };
    if (!slabs.empty()) sink.slabs = [&](const Run&) { return slabs; };
    sink.write = [&](int, int, int count, const float* values) {
        v.insert(v.end(), values, values + (size_t)count * *slice_floats);
    };
    run(o, RunSource{&stack}, sink);
    return v;
}

}  // namespace

// The file, the module's array (in place or through --xaxis-tilt's window) and slabs out of order hold the same floats.
TEST(Run, FileArrayAndSlabsHoldTheSameSlices) {
    TiltSeries k(40, 6, 9);
    const Volume in = read_volume(k.stack);
    ArrayStack stack{in.v.data(), k.nx, k.ny, k.nz, {}};
    for (float a : even_angles(k.nz)) stack.angles_deg.push_back(a);
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"-s3", "--xaxis-tilt=4"},
        {"--bin=2", "-z21", "--width=30", "--shift=3,-5", "--offset=1,3"},
        {"-S", "-i3"},
    };
    for (const std::vector<std::string>& args : cases) {
        const RunOptions o = options_for(k, args);
        FileOutput file;
        run(o, RunSource{}, file_sink(&file));
        const Volume written = read_volume(k.out);
        std::vector<float> memory;
        ArrayOutput array;
        array.allocate = [&](size_t floats) {
            memory.assign(floats, -1.0f);
            return memory.data();
        };
        run(o, RunSource{&stack}, array_sink(&array));
        EXPECT_EQ(std::vector<int>({array.width, array.thickness, array.slices}),
                  std::vector<int>({written.nx, written.ny, written.nz}));
        EXPECT_EQ(memory, written.v) << args.size();
        // Slabs in the order asked, each slice where the slab puts it.
        size_t floats = 0;
        const int last = written.nz - 1;
        const std::vector<float> slabs = slabs_of(o, stack, {{last, last}, {0, last - 1}}, &floats);
        ASSERT_EQ(slabs.size(), written.v.size());
        EXPECT_TRUE(std::equal(slabs.begin(), slabs.begin() + (long)floats, written.section(last)));
        EXPECT_TRUE(std::equal(slabs.begin() + (long)floats, slabs.end(), written.v.begin()));
    }
}

// A run that stops after its output is open leaves the folder as it was.
TEST(Run, AnErrorLeavesNoTemporaryFile) {
    TiltSeries k(24, 6, 9);
    write_file(k.out, "a previous result");
    FileOutput file;
    RunSink sink = file_sink(&file);
    sink.after_batch = [](int, int) { fail("Stopped.\n\n"); };
    EXPECT_THROW(run(options_for(k, {"--batch=1"}), RunSource{}, sink), RunError);
    EXPECT_EQ(names_in(k.dir.path), (std::set<std::string>{"t.tlt", "s.mrc", "o.mrc"}));
    EXPECT_EQ(read_file(k.out), "a previous result");
}

// -z and --width rounded to whole binned pixels (at least one), offsets and shifts as fractions.
TEST(BinnedLengths, UserLengthsInBinnedPixels) {
    const auto lengths = [](int n, int nx, const std::vector<std::string>& args) {
        const BinnedLengths l = binned_lengths(parse_words(args, {"t", "s", "o"}), Binning{.n = n, .nx = nx});
        return std::vector<double>{(double)l.thickness, (double)l.width, l.axis_offset, l.shift_x, l.shift_z};
    };
    EXPECT_EQ(lengths(2, 50, {"-z33", "--width=41", "--offset=0,3", "--shift=-1,5"}),
              (std::vector<double>{17, 21, 1.5, -0.5, 2.5}));
    EXPECT_EQ(lengths(3, 33, {"--width=4", "--offset=0,1", "--shift=7,-2"}),
              (std::vector<double>{33, 1, 1.0 / 3, 7.0 / 3, -2.0 / 3}));
    EXPECT_EQ(lengths(4, 25, {"-z1", "--width=1"}), (std::vector<double>{1, 1, 0, 0, 0}));
}
