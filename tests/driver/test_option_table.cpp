// The option parsers in this process, through the table: every value just
// inside and just outside its bounds, with the exact message and status; and
// the README's option table against the option table.
#include "support/common.h"

#include <fstream>
#include <regex>
#include <set>

#include "driver/option_table.h"
#include "io/fail.h"
#include "support/arguments.h"

namespace {

struct Parsed {
    int status = 0;  // of the RunError thrown, 0 when none was
    std::string message;
    RunOptions options;
};

// The command line "skarbel args... t.tlt s.mrc o.mrc", with names file names at the end.
Parsed parse(std::vector<std::string> args, int names = 3) {
    const std::vector<std::string> files{"t.tlt", "s.mrc", "o.mrc"};
    Parsed p;
    try {
        p.options = parse_words(args, {files.begin(), files.begin() + names});
    } catch (const RunError& e) {
        p.status = e.status;
        p.message = e.what();
    }
    return p;
}

// The message of what fn throws, or "" when it returns.
std::string message_of(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const RunError& e) {
        return e.what();
    }
    return "";
}

using Check = std::function<bool(const RunOptions&)>;

struct Case {
    std::vector<std::string> args;
    std::string message;  // "": accepted, and check holds
    Check check = [](const RunOptions&) { return true; };
    int names = 3;
};

std::string bad(const std::string& name, const std::string& value, const std::string& expected) {
    return "Bad --" + name + " value \"" + value + "\": " + expected + ".\n\n";
}

std::vector<Case> long_option_cases() {
    const std::string radial = "; expected CUTOFF,SIGMA with 0 < CUTOFF <= 0.5 and SIGMA >= 0",
                      offset = "expected DELANG[,DELXX], finite numbers of degrees and pixels",
                      shift = "expected DX[,DZ], finite numbers of pixels",
                      pixels = "expected a whole number of pixels, at least 1",
                      tilt = "expected degrees greater than -90 and less than 90",
                      iterations = "expected a number of SIRT iterations from 1 to 1000000",
                      slices = "expected FIRST,LAST, slice numbers from 0 with FIRST <= LAST",
                      batch = "expected a number of slices from 1 to 65536",
                      mode = "expected 1 (16-bit integers), 2 (32-bit floats), 6 (16-bit unsigned integers) or 12 "
                             "(16-bit floats)",
                      scale = "expected ADD,MULT, two finite numbers separated by a comma",
                      log = "expected OFFSET, a finite number added to every sample before the logarithm",
                      bin = "expected a bin, a whole number of pixels, at least 1",
                      margin = "expected a number of pixels, at least 0";
    return {
        {{"--batch=0"}, bad("batch", "0", batch)},
        {{"--batch=1"}, "", [](const RunOptions& o) { return o.batch == 1; }},
        {{"--batch=65536"}, "", [](const RunOptions& o) { return o.batch == 65536; }},
        {{"--batch=65537"}, bad("batch", "65537", batch)}, {{"--batch=4x"}, bad("batch", "4x", batch)},
        {{"--batch"}, "Option --batch needs a value: --batch=...\n\n"},
        {{"--sirt-like=0"}, bad("sirt-like", "0", iterations)},
        {{"--sirt-like=1"}, "", [](const RunOptions& o) { return o.sirt_like == 1; }},
        {{"--sirt-like=1000000"}, "", [](const RunOptions& o) { return o.sirt_like == 1000000; }},
        {{"--sirt-like=1000001"}, bad("sirt-like", "1000001", iterations)},
        {{"--sirt-like=2.5"}, bad("sirt-like", "2.5", iterations)},
        {{"--sirt-like= 3"}, bad("sirt-like", " 3", iterations)}, {{"--sirt-like="}, bad("sirt-like", "", iterations)},
        {{"--sirt-like=99999999999999999999"}, bad("sirt-like", "99999999999999999999", iterations)},
        {{"--width=0"}, bad("width", "0", pixels)},
        {{"--width=1"}, "", [](const RunOptions& o) { return o.alignment.width == 1; }},
        {{"--width=2147483647"}, "", [](const RunOptions& o) { return o.alignment.width == 2147483647; }},
        {{"--width=2147483648"}, bad("width", "2147483648", pixels)}, {{"--width=2.5"}, bad("width", "2.5", pixels)},
        {{"--bin=0"}, bad("bin", "0", pixels)},
        {{"--bin=1"}, "", [](const RunOptions& o) { return o.alignment.bin == 1; }},
        {{"--bin=2147483648"}, bad("bin", "2147483648", pixels)},
        {{"--xaxis-tilt=90"}, bad("xaxis-tilt", "90", tilt)}, {{"--xaxis-tilt=-90"}, bad("xaxis-tilt", "-90", tilt)},
        {{"--xaxis-tilt=89.999"}, "", [](const RunOptions& o) { return o.alignment.xaxis_tilt == 89.999; }},
        {{"--xaxis-tilt=-89.999"}, "", [](const RunOptions& o) { return o.alignment.xaxis_tilt == -89.999; }},
        {{"--xaxis-tilt=-nan"}, bad("xaxis-tilt", "-nan", tilt)},
        {{"--radial=0,0.1"}, "Bad --radial value \"0,0.1\": CUTOFF out of range" + radial + ".\n\n"},
        {{"--radial=1e-300,0"}, "", [](const RunOptions& o) { return o.radial->cutoff == 1e-300; }},
        {{"--radial=0.5,0"}, "", [](const RunOptions& o) { return o.radial->cutoff == 0.5 && o.radial->sigma == 0; }},
        {{"--radial=0.51,0"}, "Bad --radial value \"0.51,0\": CUTOFF out of range" + radial + ".\n\n"},
        {{"--radial=0.2,-1e-300"}, "Bad --radial value \"0.2,-1e-300\": SIGMA out of range" + radial + ".\n\n"},
        {{"--radial=0.2"}, "Bad --radial value \"0.2\": not two numbers separated by a comma" + radial + ".\n\n"},
        {{"--radial=nan,0"}, "Bad --radial value \"nan,0\": not two numbers separated by a comma" + radial + ".\n\n"},
        {{"--radial=0.2,0.1x"}, "Bad --radial value \"0.2,0.1x\": not two numbers separated by a comma" + radial + ".\n\n"},
        {{"--radial"}, "Option --radial needs a value: --radial=...\n\n"},
        {{"--offset=abc"}, bad("offset", "abc", offset)}, {{"--offset=1,nan"}, bad("offset", "1,nan", offset)},
        {{"--offset=1,2", "--offset=3"}, "",
         [](const RunOptions& o) { return o.alignment.angle_offset == 3 && o.alignment.axis_offset == 0; }},
        {{"--shift=inf"}, bad("shift", "inf", shift)}, {{"--shift=1,"}, bad("shift", "1,", shift)},
        {{"--shift=-1.5,2e3"}, "",
         [](const RunOptions& o) { return o.alignment.shift_x == -1.5 && o.alignment.shift_z == 2000; }},
        {{"--slices=4,3"}, bad("slices", "4,3", slices)},
        {{"--slices=3,3"}, "", [](const RunOptions& o) { return o.slices->first == 3 && o.slices->last == 3; }},
        {{"--slices=-1,3"}, bad("slices", "-1,3", slices)}, {{"--slices=3"}, bad("slices", "3", slices)},
        {{"--slices=1,2,3"}, bad("slices", "1,2,3", slices)}, {{"--slices=1, 2"}, bad("slices", "1, 2", slices)},
        {{"--slices=0,2147483647"}, "", [](const RunOptions& o) { return o.slices->last == 2147483647; }},
        {{"--slices=0,2147483648"}, bad("slices", "0,2147483648", slices)}, {{"--slices="}, bad("slices", "", slices)},
        {{"--mode=3"}, bad("mode", "3", mode)}, {{"--mode=02"}, bad("mode", "02", mode)},
        {{"--mode=12"}, "", [](const RunOptions& o) { return o.output.mode == 12; }},
        {{"--scale=nan,1"}, bad("scale", "nan,1", scale)}, {{"--scale=1"}, bad("scale", "1", scale)},
        {{"--scale=-1,1e300"}, "", [](const RunOptions& o) { return o.output.add == -1 && o.output.mult == 1e300; }},
        {{"--log=1e999"}, bad("log", "1e999", log)},
        {{"--log=-0.5"}, "", [](const RunOptions& o) { return o.log_offset == -0.5; }},
        {{"--position=0"}, bad("position", "0", bin)}, {{"--position=2x"}, bad("position", "2x", bin)},
        {{"--position=1"}, "", [](const RunOptions& o) { return o.position && o.position_bin == 1; }},
        {{"--position"}, "", [](const RunOptions& o) { return o.position && o.position_bin == 0 && !o.position_only; }},
        {{"--position-margin=-1e-300"}, bad("position-margin", "-1e-300", margin)},
        {{"--position-margin=0"}, "", [](const RunOptions& o) { return o.position_margin == 0.0; }},
        {{"--position-only"}, "", [](const RunOptions& o) { return o.position && o.position_only; }},
        {{"--position-only=1"}, "Option --position-only takes no value.\n\n"},
        {{"--rotx=1"}, "Option --rotx takes no value.\n\n"},
        {{"--help=1"}, "Option --help takes no value.\n\n"},
        {{"--exclude="}, "Bad --exclude list \"\": item 1 is empty.\n\n"},
        {{"--exclude=1,,2"}, "Bad --exclude list \"1,,2\": item 2 is empty.\n\n"},
        {{"--exclude=5-3"}, "Bad --exclude list \"5-3\": item 1 (\"5-3\") is a reversed range.\n\n"},
        {{"--exclude=1x"}, "Bad --exclude list \"1x\": item 1 (\"1x\") is neither a number nor a range.\n\n"},
        {{"--exclude=1-2-3"}, "Bad --exclude list \"1-2-3\": item 1 (\"1-2-3\") is neither a number nor a range.\n\n"},
        {{"--exclude"}, "Option --exclude needs a value: --exclude=...\n\n"},
        {{"--excludes=1"}, "Unknown option --excludes.\n" + kUsage},
        {{"--z=5"}, "Unknown option --z.\n" + kUsage},
        {{"--estimate", "--rotx"}, "", [](const RunOptions& o) { return o.estimate && o.rotx; }},
        {{"--", "--help"}, "", [](const RunOptions& o) { return o.tilt_file == "--help" && o.output_file == "s.mrc"; }},
    };
}

std::vector<Case> short_option_cases() {
    const auto level = [](int l, bool sirt = false) {
        return [=](const RunOptions& o) { return o.symmetry_level == l && o.sirt == sirt; };
    };
    return {
        {{"-z0"}, "Thickness must be at least 1 pixel (got 0).\n\n"},
        {{"-z1"}, "", [](const RunOptions& o) { return o.thickness_given && o.thickness == 1; }},
        {{"-z2147483647"}, "", [](const RunOptions& o) { return o.thickness == 2147483647; }},
        {{"-z2147483648"}, "Value of option -z out of range: 2147483648 (it must fit a 32-bit integer).\n\n"},
        {{"-z-2147483648"}, "Thickness must be at least 1 pixel (got -2147483648).\n\n"},
        {{"-z-2147483649"}, "Value of option -z out of range: -2147483649 (it must fit a 32-bit integer).\n\n"},
        {{"-z0", "-z5"}, "", [](const RunOptions& o) { return o.thickness == 5; }},
        {{"-S", "-i4294967297x"}, "Value of option -i out of range: 4294967297x (it must fit a 32-bit integer).\n\n"},
        {{"-g-2147483649"}, "Value of option -g out of range: -2147483649 (it must fit a 32-bit integer).\n\n"},
        {{"-g-2147483648"}, "", [](const RunOptions& o) { return o.gpu == INT32_MIN; }},
        {{"-s4294967296"}, "Value of option -s out of range: 4294967296 (it must fit a 32-bit integer).\n\n"},
        {{"-s3"}, "", level(3)},
        {{"-s4"}, "", level(2)},  // clamped
        {{"-s-1"}, "", level(2)},
        {{"-sabc"}, "", level(0)},  // no digits
        {{"-s3", "-s1x"}, "", level(1)},
        {{"-S", "-s9"}, "", level(9, true)},  // SIRT keeps it unclamped
        {{"-i50", "-Sjunk"}, "", [](const RunOptions& o) { return o.sirt && o.iterations == 50; }},
        {{"-S", "--sirt-like=3"}, "Options -S and --sirt-like exclude each other: --sirt-like shapes the filter of a "
                                  "weighted back-projection (drop -S), -S runs SIRT itself (drop --sirt-like).\n\n"},
        {{"-z"}, kUsage},
        {{"-S", "-i"}, kUsage},
        {{"-a"}, kUsage},
        {{"-?"}, kUsage},
        {{}, kUsage, {}, 2},
        {{}, kUsage, {}, 0},
        {{"extra"}, "", [](const RunOptions& o) { return o.tilt_file == "extra" && o.output_file == "s.mrc"; }},
    };
}

}  // namespace

// Each case: accepted with the value in its field, or refused with its message and status 255.
TEST(OptionTable, ValuesAtTheirBounds) {
    for (const std::vector<Case>& cases : {long_option_cases(), short_option_cases()})
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::PrintToString(c.args));
            const Parsed p = parse(c.args, c.names);
            EXPECT_EQ(p.message, c.message);
            EXPECT_EQ(p.status, c.message.empty() ? 0 : 255);
            if (c.message.empty()) {
                EXPECT_TRUE(c.check(p.options));
            }
        }
}

// The values a run checks against the stack, outside the parser.
TEST(OptionTable, ValuesCheckedAgainstTheStack) {
    const auto excluded = [](const char* list) { return message_of([&] { sections_used(9, parse_section_list(list)); }); };
    EXPECT_EQ(excluded("0"), "--exclude: section 0 is not in the stack (sections 1 to 9).\n\n");
    EXPECT_EQ(excluded("2,8-10"), "--exclude: section 10 is not in the stack (sections 1 to 9).\n\n");
    EXPECT_EQ(excluded("99999999999999999999"),
              "--exclude: section 9223372036854775807 is not in the stack (sections 1 to 9).\n\n");
    EXPECT_EQ(excluded("1-4,5-9"), "--exclude leaves no view: all 9 sections of the stack are excluded.\n\n");
    EXPECT_EQ(excluded("1-4,6-9"), "");
    EXPECT_EQ(sections_used(9, parse_section_list("9,1-2,2")), (std::vector<int>{2, 3, 4, 5, 6, 7}));
}

// The README's option table names every option of the table, as --help heads
// it (the single letters alone), once each, and nothing else.
TEST(OptionTable, ReadmeListsEveryOption) {
    std::ifstream readme(std::string(SKARBEL_SOURCE_DIR) + "/README.md");
    std::string line;
    while (std::getline(readme, line) && line != "| option | meaning | default |") {
    }
    ASSERT_TRUE(std::getline(readme, line) && line.starts_with("|---")) << "no option table in README.md";
    std::multiset<std::string> listed, declared;
    const std::regex row(R"(^\| `([^`]+)` \|.*)");
    std::smatch m;
    while (std::getline(readme, line) && std::regex_match(line, m, row)) listed.insert(m[1]);
    for (const OptionSpec& option : option_table())
        declared.insert(option_is_short(option) ? std::string("-") + option.name : option_head(option));
    EXPECT_EQ(listed, declared);
}
