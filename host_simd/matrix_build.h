#pragma once
// Host form of the matrix builds. A kernel thread writes the entries of one
// pixel, each a whole stride from the last, which on a CPU misses the cache at
// nearly every write. Here each slice row is cut into segments of pixels that
// fall on the detector at the same tilts: entry k of every pixel of a segment
// then belongs to the same tilt, so it is one run of consecutive words, which
// a plain loop writes (and the compiler vectorises). Near the row ends, where
// tilts leave the detector one after another, segments are a few pixels long;
// there consecutive short segments are taken together, tilt by tilt, each
// pixel with its own next entry. Each pixel still gets its tilts in order, so
// every entry and every row length is the kernel's.
//
// A pixel's detector position cos_a * x - z * sin_a + r_2 is monotonic in its
// column (every rounded step is), and the detector test accepts an interval of
// positions, so the columns of a row on the detector at one tilt form one
// interval, found by walking in from both ends of the row.
#include <algorithm>
#include <vector>

namespace host_rows {

// Columns lo .. hi - 1 of a row, on the detector at one tilt.
struct Span {
    int lo, hi;
};

// Segments shorter than this are written pixel by pixel.
constexpr int kShortSegment = 32;

// on(i): whether column i of the row is on the detector.
template <class On>
Span detector_span(int cols, const On& on) {
    int lo = 0, hi = cols;
    while (lo < hi && !on(lo)) ++lo;
    while (hi > lo && !on(hi - 1)) --hi;
    return {lo, hi};
}

// Rows 0 .. rows - 1 of cols pixels, matrix row r = j * cols + i, by the
// level's build b:
//   b.on(t, j, i)            whether pixel (i, j) is on the detector at tilt t;
//   b.run(t, k, j, lo, hi)   the entries of tilt t, from entry k on, of the
//                            columns lo .. hi - 1 of row j;
//   b.one(t, k, j, i)        the same for column i alone;
//   b.per_tilt               the entries a tilt on the detector takes.
// The row lengths are added to d_length, as the kernels add theirs.
template <class Build>
void build_rows(int rows, int cols, int tilts, int* d_length, const Build& b) {
#pragma omp parallel
    {
        std::vector<Span> spans(tilts);
        std::vector<int> cuts, next(cols);
        // Columns lo .. hi - 1, pixel by pixel.
        auto pixels = [&](int j, int lo, int hi) {
            std::fill(next.begin() + lo, next.begin() + hi, 0);
            for (int t = 0; t < tilts; ++t)
                for (int i = std::max(lo, spans[t].lo); i < std::min(hi, spans[t].hi); ++i) {
                    b.one(t, next[i], j, i);
                    next[i] += b.per_tilt;
                }
            int* length = d_length + cols * j;
            for (int i = lo; i < hi; ++i) length[i] += next[i];
        };
        // One segment: the same tilts for every column.
        auto segment = [&](int j, int lo, int hi) {
            int k = 0;
            for (int t = 0; t < tilts; ++t) {
                if (spans[t].lo > lo || spans[t].hi < hi) continue;
                b.run(t, k, j, lo, hi);
                k += b.per_tilt;
            }
            if (k == 0) return;
            int* length = d_length + cols * j;
            for (int i = lo; i < hi; ++i) length[i] += k;
        };
#pragma omp for schedule(dynamic, 1)
        for (int j = 0; j < rows; ++j) {
            cuts.assign({0, cols});
            for (int t = 0; t < tilts; ++t) {
                spans[t] = detector_span(cols, [&](int i) { return b.on(t, j, i); });
                cuts.push_back(spans[t].lo);
                cuts.push_back(spans[t].hi);
            }
            std::sort(cuts.begin(), cuts.end());
            cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
            int short_from = -1;  // start of the short segments not yet written
            for (size_t s = 0; s + 1 < cuts.size(); ++s) {
                const int lo = cuts[s], hi = cuts[s + 1];
                if (hi - lo < kShortSegment) {
                    if (short_from < 0) short_from = lo;
                    continue;
                }
                if (short_from >= 0) pixels(j, short_from, lo);
                short_from = -1;
                segment(j, lo, hi);
            }
            if (short_from >= 0) pixels(j, short_from, cols);
        }
    }
}

}  // namespace host_rows
