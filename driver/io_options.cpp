#include "driver/io_options.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/option_numbers.h"
#include "io/fail.h"

namespace {

}  // namespace

double parse_log_offset(const char* value) {
    double offset = 0;
    if (!finite_number(value, &offset))
        failf("Bad --log value \"%s\": expected OFFSET, a finite number added to every sample before the "
              "logarithm.\n\n", value);
    return offset;
}

int parse_output_mode(const char* value) {
    for (const char* mode : {"1", "2", "6", "12"})
        if (strcmp(value, mode) == 0) return atoi(mode);
    failf("Bad --mode value \"%s\": expected 1 (16-bit integers), 2 (32-bit floats), 6 (16-bit unsigned "
          "integers) or 12 (16-bit floats).\n\n", value);
}

void parse_output_scale(const char* value, double* add, double* mult) {
    const std::string text = value;
    const size_t comma = text.find(',');
    if (comma == std::string::npos || !finite_number(text.substr(0, comma), add) ||
        !finite_number(text.substr(comma + 1), mult))
        failf("Bad --scale value \"%s\": expected ADD,MULT, two finite numbers separated by a comma.\n\n", value);
}
