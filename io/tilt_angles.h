#pragma once
#include <memory>
#include <vector>

// Tilt record: one per tilt image, 20 bytes, copied to the device as it is.
struct a {
    float angle_deg;
    float angle_rad;
    float cos_a;
    float sin_a;
    float spare;
};
static_assert(sizeof(a) == 20, "tilt record must be 20 bytes");

// pi/180 rounded to a 32-bit float.
constexpr float DEG_TO_RAD = 0.017453292f;

// The record of one angle in degrees: radians, cosine and sine in single precision.
a tilt_record(float angle_deg);

// Reads the first n angles (degrees, first number of each line, lines of any
// length) of the file and fills every record's radians, cosine and sine.
// Returns n records; ends the process when the file
// cannot be opened, has fewer than n lines, or a line does not start with a
// finite number.
std::unique_ptr<a[]> read_tilt_angles(const char* file_name, int n);

// Reads and checks all n lines as read_tilt_angles does, and returns the
// records of the listed sections (0-based, in the given order) only.
std::unique_ptr<a[]> read_tilt_angles(const char* file_name, int n, const std::vector<int>& sections);
