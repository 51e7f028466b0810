#include "driver/alignment.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <string>

#include "io/fail.h"

namespace {

// A finite decimal number making up the whole text.
bool finite_number(const std::string& text, double* value) {
    if (text.empty() || isspace((unsigned char)text[0])) return false;
    char* end = nullptr;
    *value = strtod(text.c_str(), &end);
    return *end == '\0' && std::isfinite(*value);
}

// "FIRST[,SECOND]": one or two finite numbers; the second stays as it is when absent.
bool one_or_two_numbers(const char* value, double* first, double* second) {
    const std::string text = value;
    const size_t comma = text.find(',');
    if (comma == std::string::npos) return finite_number(text, first);
    return finite_number(text.substr(0, comma), first) && finite_number(text.substr(comma + 1), second);
}

// A whole number from 1 to INT_MAX making up the whole text, or -1.
long whole_number(const char* value) {
    char* end = nullptr;
    errno = 0;
    const long n = strtol(value, &end, 10);
    if (end == value || *end != '\0' || isspace((unsigned char)value[0]) || errno != 0 || n < 1 || n > INT_MAX)
        return -1;
    return n;
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
    const long n = whole_number(value);
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
    const long n = whole_number(value);
    if (n < 1) failf("Bad --bin value \"%s\": expected a whole number of pixels, at least 1.\n\n", value);
    return (int)n;
}
