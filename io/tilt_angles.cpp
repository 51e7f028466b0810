#include "io/tilt_angles.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>

#include "io/fail.h"

namespace {

// Reads line number line_number (1-based) into angle_deg; ends the process
// when the line is missing, has no leading number or holds a non-finite one.
void read_angle_line(FILE* file, char** line, size_t* capacity, int line_number, int needed, float* angle_deg) {
    if (getline(line, capacity, file) < 0)
        failf("Tilt-angle file ends before line %d: %d angles are needed.\n\n", line_number, needed);
    float value = 0;
    if (sscanf(*line, "%f", &value) != 1)
        failf("No angle at the start of line %d of the tilt-angle file.\n\n", line_number);
    if (!std::isfinite(value)) failf("Angle on line %d of the tilt-angle file is not finite.\n\n", line_number);
    *angle_deg = value;
}

}  // namespace

a tilt_record(float angle_deg) {
    const float rad = angle_deg * DEG_TO_RAD;
    return a{angle_deg, rad, cosf(rad), sinf(rad), 0.0f};
}

std::unique_ptr<a[]> read_tilt_angles(const char* file_name, int n) {
    std::unique_ptr<a[]> records(n >= 0 ? new (std::nothrow) a[(size_t)n]() : nullptr);
    if (!records) fail("\nUnable to allocate memory for tilt array.\n\n");
    // Closed and freed also when a line is refused.
    std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(file_name, "r"), fclose);
    if (!file) fail("\nUnable to open file with tilt angles.\n\n");
    struct Line {
        char* text = nullptr;
        size_t capacity = 0;
        ~Line() { free(text); }
    } line;
    for (int i = 0; i < n; ++i)
        read_angle_line(file.get(), &line.text, &line.capacity, i + 1, n, &records[i].angle_deg);

    for (int i = 0; i < n; ++i) records[i] = tilt_record(records[i].angle_deg);
    return records;
}

std::unique_ptr<a[]> read_tilt_angles(const char* file_name, int n, const std::vector<int>& sections) {
    const std::unique_ptr<a[]> all = read_tilt_angles(file_name, n);
    std::unique_ptr<a[]> used(new (std::nothrow) a[sections.size()]());
    if (!used) fail("\nUnable to allocate memory for tilt array.\n\n");
    for (size_t t = 0; t < sections.size(); ++t) used[t] = all[sections[t]];
    return used;
}
