#pragma once
#include <vector>

// Stack sections named on the command line, 1-based and inclusive, as the
// tilt file's line numbers name them ("1-3,60" is {1,3} and {60,60}).
struct SectionRange {
    long long first, last;
};

// Parses a comma-separated list of numbers and ranges; ends the process with a
// message naming the faulty item (empty, not a number or range, reversed).
std::vector<SectionRange> parse_section_list(const char* list);

// The 0-based sections of an nz-section stack left when the ranges are taken
// out, in stack order. Ends the process when a range reaches beyond the stack
// or nothing is left.
std::vector<int> sections_used(int nz, const std::vector<SectionRange>& excluded);
