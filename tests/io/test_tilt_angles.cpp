#include "support/common.h"

#include "io/tilt_angles.h"

struct LineCase {
    std::string text;
    float angle_deg;
};

TEST(TiltAngles, FirstNumberOfEachLineWithRadiansCosineAndSine) {
    const std::vector<LineCase> cases = {{"0", 0.0f},           {"-60.0", -60.0f},     {"  45.5 word", 45.5f},
                                         {"1e1", 10.0f},        {"\t+12.25", 12.25f},  {"3.5\r", 3.5f},
                                         {"7.75" + std::string(1000, ' ') + "99", 7.75f}};
    TempDir dir;
    std::string text;
    for (const LineCase& c : cases) text += c.text + "\n";
    write_file(dir.file("t.tlt"), text + "1.5");  // the last line without a line end
    a* t = read_tilt_angles(dir.file("t.tlt").c_str(), (int)cases.size() + 1);
    for (size_t i = 0; i <= cases.size(); ++i) {
        const float deg = i < cases.size() ? cases[i].angle_deg : 1.5f;
        EXPECT_EQ(t[i].angle_deg, deg) << i;
        // Radians in single precision with pi/180 rounded to float; cosine and
        // sine against double precision.
        const float rad = deg * 0.017453292f;
        EXPECT_EQ(t[i].angle_rad, rad);
        EXPECT_NEAR(t[i].cos_a, std::cos((double)rad), 1e-6);
        EXPECT_NEAR(t[i].sin_a, std::sin((double)rad), 1e-6);
    }
    EXPECT_EQ(t[1].angle_rad, -1.0471975803375244f);
    delete[] t;
}

struct BadTilt {
    std::string text;
    int n;
    std::string message;
};

TEST(TiltAngles, BadFilesEndWithTheLineNumber) {
    const std::string finite = " of the tilt-angle file is not finite.\n\n";
    const std::vector<BadTilt> cases = {
        {"1\n2\n3\n", 5, "Tilt-angle file ends before line 4: 5 angles are needed.\n\n"},
        {"", 1, "Tilt-angle file ends before line 1: 1 angles are needed.\n\n"},
        {"1\nabc\n3\n", 3, "No angle at the start of line 2 of the tilt-angle file.\n\n"},
        {"1\n2\n\n4\n", 4, "No angle at the start of line 3 of the tilt-angle file.\n\n"},
        {"nan\n", 1, "Angle on line 1" + finite},
        {"0\n-inf\n", 2, "Angle on line 2" + finite},
        {"0\n0\n1e50\n", 3, "Angle on line 3" + finite},
        {"1\n", -1, "\nUnable to allocate memory for tilt array.\n\n"},
        {"", -2, "\nUnable to open file with tilt angles.\n\n"},  // no file, even for no angles
    };
    for (const BadTilt& c : cases) {
        TempDir dir;
        if (c.n != -2) write_file(dir.file("t.tlt"), c.text);
        const std::string path = dir.file("t.tlt");
        Captured r = capture_exit([&] { read_tilt_angles(path.c_str(), c.n == -2 ? 0 : c.n); });
        EXPECT_EQ(r.status, 255) << c.text;
        EXPECT_EQ(r.err, c.message);
    }
}
