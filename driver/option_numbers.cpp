#include "driver/option_numbers.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

bool finite_number(const std::string& text, double* value) {
    if (text.empty() || isspace((unsigned char)text[0])) return false;
    char* end = nullptr;
    *value = strtod(text.c_str(), &end);
    return *end == '\0' && std::isfinite(*value);
}

long whole_number(const char* value, long lo, long hi) {
    char* end = nullptr;
    errno = 0;
    const long n = strtol(value, &end, 10);
    if (end == value || *end != '\0' || isspace((unsigned char)value[0]) || errno != 0 || n < lo || n > hi) return -1;
    return n;
}
