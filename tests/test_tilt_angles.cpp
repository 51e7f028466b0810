#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "io/tilt_angles.h"
#include "support/capture.h"
#include "support/files.h"

namespace {

a* read_text(const std::string& text, int n) {
    TempDir dir;
    write_file(dir.file("t.tlt"), text);
    return read_tilt_angles(dir.file("t.tlt").c_str(), n);
}

}  // namespace

struct LineCase {
    const char* name;
    std::string line;
    float angle_deg;
};

class TiltLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(TiltLine, FirstNumberOfTheLineWithItsRadiansCosineAndSine) {
    const LineCase& c = GetParam();
    a* t = read_text(c.line + "\n", 1);
    EXPECT_EQ(t[0].angle_deg, c.angle_deg);
    // Radians in single precision with pi/180 rounded to float; the functions
    // against a double reference.
    const float rad = c.angle_deg * 0.017453292f;
    EXPECT_EQ(t[0].angle_rad, rad);
    EXPECT_NEAR(t[0].cos_a, std::cos((double)rad), 1e-6);
    EXPECT_NEAR(t[0].sin_a, std::sin((double)rad), 1e-6);
    delete[] t;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TiltLine,
    ::testing::Values(LineCase{"zero", "0", 0.0f}, LineCase{"minus_sixty", "-60.0", -60.0f},
                      LineCase{"blanks_and_word", "  45.5 word", 45.5f}, LineCase{"exponent", "1e1", 10.0f},
                      LineCase{"tab_and_plus", "\t+12.25", 12.25f}, LineCase{"windows_line_end", "3.5\r", 3.5f},
                      LineCase{"long_line", "7.75" + std::string(1000, ' ') + "99", 7.75f},
                      LineCase{"no_newline_at_end", "1.5", 1.5f}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TiltAngles, MinusSixtyDegrees) {
    a* t = read_text("-60.0\n", 1);
    EXPECT_EQ(t[0].angle_rad, -1.0471975803375244f);
    EXPECT_NEAR(t[0].cos_a, 0.5f, 1e-6);
    EXPECT_NEAR(t[0].sin_a, -0.8660254f, 1e-6);
    delete[] t;
}

TEST(TiltAngles, FirstNLinesInFileOrder) {
    std::vector<float> angles;
    for (int i = 0; i < 70; ++i) angles.push_back((float)((i * 37) % 70) - 35.0f);  // not sorted
    TempDir dir;
    write_tilt_file(dir.file("t.tlt"), angles);
    a* t = read_tilt_angles(dir.file("t.tlt").c_str(), 61);
    for (int i = 0; i < 61; ++i) EXPECT_EQ(t[i].angle_deg, angles[i]) << i;
    delete[] t;
}

TEST(TiltAngles, LongLinesStayOneLine) {
    a* t = read_text("10" + std::string(300, ' ') + "99\n20\n", 2);
    EXPECT_EQ(t[0].angle_deg, 10.0f);
    EXPECT_EQ(t[1].angle_deg, 20.0f);
    delete[] t;
}

TEST(TiltAngles, ZeroAnglesStillNeedTheFile) {
    a* t = read_text("", 0);
    delete[] t;
    Captured c = capture_exit([] { read_tilt_angles("/nonexistent/t.tlt", 0); });
    EXPECT_EQ(c.status, 255);
    EXPECT_EQ(c.err, "\nUnable to open file with tilt angles.\n\n");
}

struct BadTilt {
    const char* name;
    std::string text;
    int n;
    std::string message;
};

class TiltBadFile : public ::testing::TestWithParam<BadTilt> {};

TEST_P(TiltBadFile, EndsWithTheLineNumber) {
    TempDir dir;
    write_file(dir.file("t.tlt"), GetParam().text);
    const std::string path = dir.file("t.tlt");
    Captured c = capture_exit([&] { read_tilt_angles(path.c_str(), GetParam().n); });
    EXPECT_EQ(c.status, 255);
    EXPECT_EQ(c.err, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TiltBadFile,
    ::testing::Values(
        BadTilt{"too_few_lines", "1\n2\n3\n", 5, "Tilt-angle file ends before line 4: 5 angles are needed.\n\n"},
        BadTilt{"empty_file", "", 1, "Tilt-angle file ends before line 1: 1 angles are needed.\n\n"},
        BadTilt{"word", "1\nabc\n3\n", 3, "No angle at the start of line 2 of the tilt-angle file.\n\n"},
        BadTilt{"blank_line", "1\n2\n\n4\n", 4, "No angle at the start of line 3 of the tilt-angle file.\n\n"},
        BadTilt{"nan", "nan\n", 1, "Angle on line 1 of the tilt-angle file is not finite.\n\n"},
        BadTilt{"inf", "0\n-inf\n", 2, "Angle on line 2 of the tilt-angle file is not finite.\n\n"},
        BadTilt{"overflow", "0\n0\n1e50\n", 3, "Angle on line 3 of the tilt-angle file is not finite.\n\n"},
        BadTilt{"negative_count", "1\n", -1, "\nUnable to allocate memory for tilt array.\n\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TiltAngles, MissingFile) {
    Captured c = capture_exit([] { read_tilt_angles("/nonexistent/t.tlt", 3); });
    EXPECT_EQ(c.status, 255);
    EXPECT_EQ(c.err, "\nUnable to open file with tilt angles.\n\n");
}
