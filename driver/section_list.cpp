#include "driver/section_list.h"

#include <cstdlib>
#include <string>

#include "io/fail.h"

namespace {

// A section number: decimal digits only, nothing else.
bool parse_number(const std::string& text, long long* value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    *value = strtoll(text.c_str(), nullptr, 10);  // saturates; out of range later
    return true;
}

bool parse_item(const std::string& item, SectionRange* range) {
    const size_t dash = item.find('-');
    if (dash == std::string::npos) {
        if (!parse_number(item, &range->first)) return false;
        range->last = range->first;
        return true;
    }
    return parse_number(item.substr(0, dash), &range->first) && parse_number(item.substr(dash + 1), &range->last);
}

}  // namespace

std::vector<SectionRange> parse_section_list(const char* list) {
    std::vector<SectionRange> ranges;
    const std::string text = list;
    size_t start = 0;
    for (int n = 1;; ++n) {
        const size_t comma = text.find(',', start);
        const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        SectionRange range{};
        if (item.empty()) failf("Bad --exclude list \"%s\": item %d is empty.\n\n", list, n);
        if (!parse_item(item, &range))
            failf("Bad --exclude list \"%s\": item %d (\"%s\") is neither a number nor a range.\n\n", list, n,
                  item.c_str());
        if (range.last < range.first)
            failf("Bad --exclude list \"%s\": item %d (\"%s\") is a reversed range.\n\n", list, n, item.c_str());
        ranges.push_back(range);
        if (comma == std::string::npos) return ranges;
        start = comma + 1;
    }
}

std::vector<int> sections_used(int nz, const std::vector<SectionRange>& excluded) {
    std::vector<bool> left_out((size_t)(nz > 0 ? nz : 0), false);
    for (const SectionRange& r : excluded) {
        for (long long s : {r.first, r.last})
            if (s < 1 || s > nz) failf("--exclude: section %lld is not in the stack (sections 1 to %d).\n\n", s, nz);
        for (long long s = r.first; s <= r.last; ++s) left_out[(size_t)(s - 1)] = true;
    }
    std::vector<int> used;
    for (int z = 0; z < nz; ++z)
        if (!left_out[(size_t)z]) used.push_back(z);
    if (used.empty() && !excluded.empty())
        failf("--exclude leaves no view: all %d sections of the stack are excluded.\n\n", nz);
    return used;
}
