#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "driver/option_table.h"
#include "io/fail.h"

namespace {

// The numbers of the long options' values are read strictly: the whole text,
// no leading space, finite.
bool finite_number(const std::string& text, double* value) {
    if (text.empty() || isspace((unsigned char)text[0])) return false;
    char* end = nullptr;
    *value = strtod(text.c_str(), &end);
    return *end == '\0' && std::isfinite(*value);
}

}  // namespace

void OptionArgument::bad(const char* reason) const {
    std::string message = std::string("Bad --") + option.name + " value \"" + (text ? text : "") + "\": ";
    if (reason) message += std::string(reason) + "; ";
    fail((message + "expected " + (option.expected ? option.expected : "") + ".\n\n").c_str());
}

long OptionArgument::whole(long lo, long hi) const {
    char* end = nullptr;
    errno = 0;
    const long n = strtol(text, &end, 10);
    if (end == text || *end != '\0' || isspace((unsigned char)text[0]) || errno != 0 || n < lo || n > hi) bad();
    return n;
}

double OptionArgument::finite() const {
    double value = 0;
    if (!finite_number(text, &value)) bad();
    return value;
}

void OptionArgument::two_numbers(double* first, double* second, bool one_allowed, const char* reason) const {
    const std::string all = text;
    const size_t comma = all.find(',');
    const bool read = comma == std::string::npos
                          ? one_allowed && finite_number(all, first)
                          : finite_number(all.substr(0, comma), first) && finite_number(all.substr(comma + 1), second);
    if (!read) bad(reason);
}

int OptionArgument::int32() const {
    if (!text) usage();
    // strtol's reading: leading digits count, the rest is ignored; beyond 32 bits is refused rather than wrapped.
    const long value = strtol(text, nullptr, 10);
    if (value < INT32_MIN || value > INT32_MAX)
        failf("Value of option -%c out of range: %s (it must fit a 32-bit integer).\n\n", option.name[0], text);
    return (int)value;
}
