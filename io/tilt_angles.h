#pragma once

// Tilt record: one per tilt image, 20 bytes, copied to the device as it is.
struct a {
    float angle_deg;
    float angle_rad;
    float cos_a;
    float sin_a;
    float spare;
};
static_assert(sizeof(a) == 20, "tilt record must be 20 bytes");

// Reads the first n angles (degrees, first number of each line) of the file.
// Returns a new array of n records (delete[]); ends the process on failure.
a* read_tilt_angles(const char* file_name, int n);
