#include "driver/alignment.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <string>

#include "driver/option_numbers.h"
#include "io/fail.h"

namespace {

// "FIRST[,SECOND]": one or two finite numbers; the second stays as it is when absent.
bool one_or_two_numbers(const char* value, double* first, double* second) {
    const std::string text = value;
    const size_t comma = text.find(',');
    if (comma == std::string::npos) return finite_number(text, first);
    return finite_number(text.substr(0, comma), first) && finite_number(text.substr(comma + 1), second);
}

}  // namespace

void parse_offset(const char* value, Alignment* alignment) {
    double angle = 0, axis = 0;
    if (!one_or_two_numbers(value, &angle, &axis))
        failf("Bad --offset value \"%s\": expected DELANG[,DELXX], finite numbers of degrees and pixels.\n\n", value);
    alignment->angle_offset = angle;
    alignment->axis_offset = axis;
}

void parse_shift(const char* value, Alignment* alignment) {
    double dx = 0, dz = 0;
    if (!one_or_two_numbers(value, &dx, &dz))
        failf("Bad --shift value \"%s\": expected DX[,DZ], finite numbers of pixels.\n\n", value);
    alignment->shift_x = dx;
    alignment->shift_z = dz;
}

int parse_width(const char* value) {
    const long n = whole_number(value, 1, INT_MAX);
    if (n < 1) failf("Bad --width value \"%s\": expected a whole number of pixels, at least 1.\n\n", value);
    return (int)n;
}

double parse_xaxis_tilt(const char* value) {
    double angle = 0;
    if (!finite_number(value, &angle) || !(std::fabs(angle) < 90))
        failf("Bad --xaxis-tilt value \"%s\": expected degrees greater than -90 and less than 90.\n\n", value);
    return angle;
}

int parse_bin(const char* value) {
    const long n = whole_number(value, 1, INT_MAX);
    if (n < 1) failf("Bad --bin value \"%s\": expected a whole number of pixels, at least 1.\n\n", value);
    return (int)n;
}
