#include "driver/slice_range.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "io/fail.h"

namespace {

// A slice number: decimal digits only, within 32 bits.
bool parse_slice_number(const std::string& text, int* value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    const long long v = strtoll(text.c_str(), nullptr, 10);
    if (errno != 0 || v > INT_MAX) return false;
    *value = (int)v;
    return true;
}

}  // namespace

bool parse_slice_range(const char* text, SliceRange* range) {
    const std::string s = text;
    const size_t comma = s.find(',');
    SliceRange r;
    if (comma == std::string::npos || !parse_slice_number(s.substr(0, comma), &r.first) ||
        !parse_slice_number(s.substr(comma + 1), &r.last) || r.first > r.last)
        return false;
    *range = r;
    return true;
}

SliceRange slices_of_stack(const SliceRange* requested, int ny) {
    if (!requested) return {0, ny - 1};
    if (requested->last >= ny)
        failf("Bad --slices value \"%d,%d\": the stack has %d slices, numbered from 0.\n\n", requested->first,
              requested->last, ny);
    return *requested;
}

SliceRange slab_of(const SliceRange& range, int parts, int part) {
    const long long count = slice_count(range);
    const long long base = count / parts, extra = count % parts;
    const long long first = range.first + part * base + (part < extra ? part : extra);
    const long long size = base + (part < extra ? 1 : 0);
    return {(int)first, (int)(first + size - 1)};
}
