#include "driver/binned_lengths.h"

#include <algorithm>
#include <cmath>

namespace {

// A length in binned pixels: rounded, at least 1.
int binned_length(int pixels, int n) {
    return n == 1 ? pixels : std::max(1, (int)std::lround((double)pixels / n));
}

}  // namespace

BinnedLengths binned_lengths(const RunOptions& options, const Binning& b) {
    const Alignment& al = options.alignment;
    BinnedLengths l;
    l.thickness = options.thickness_given ? binned_length(options.thickness, b.n) : b.nx;
    l.width = al.width > 0 ? binned_length(al.width, b.n) : b.nx;
    l.axis_offset = al.axis_offset / b.n;
    l.shift_x = al.shift_x / b.n;
    l.shift_z = al.shift_z / b.n;
    return l;
}

InputSpacing binned_spacing(InputSpacing s, const Binning& b) {
    s.x *= b.n;
    s.y *= b.n;
    return s;
}
