#include "driver/xaxis_tilt.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace {

double centre(int n) { return (n - 1) * 0.5; }

// First and last untilted slice whose values output slice y can take: the
// rotated points of its rows lie within Y cos A +- half-thickness |sin A|;
// one slice more on each side keeps clear of rounding.
SliceRange sources_of(const XTilt& x, int y) {
    const double Y = y - centre(x.stack_rows), spread = centre(x.thickness) * std::fabs(x.sin_a);
    const double mid = Y * x.cos_a + centre(x.stack_rows);
    const int lo = (int)std::floor(mid - spread) - 1, hi = (int)std::floor(mid + spread) + 2;
    return {std::clamp(lo, 0, x.stack_rows - 1), std::clamp(hi, 0, x.stack_rows - 1)};
}

}  // namespace

XTilt xtilt_plan(double angle_deg, int stack_rows, int width, int thickness) {
    XTilt x;
    x.stack_rows = stack_rows;
    x.width = width;
    x.thickness = x.source_thickness = thickness;
    if (angle_deg == 0) return x;
    x.active = true;
    const double rad = angle_deg * (M_PI / 180.0);
    x.cos_a = std::cos(rad);
    x.sin_a = std::sin(rad);
    // Every rotated row Y sin A + Z cos A of the stack's rows Y and the output's
    // rows Z lies inside the untilted slice, one row clear of its edges.
    const double h = centre(thickness), reach = centre(stack_rows) * std::fabs(x.sin_a) + h * x.cos_a;
    const double margin = std::max(0.0, std::ceil(reach - h)) + 1;
    // Beyond 32 bits the run's check of the slice size refuses it.
    x.source_thickness = (int)std::min((double)INT_MAX, thickness + 2 * margin);
    return x;
}

double xtilt_window_mb(const XTilt& x) {
    if (!x.active) return 0;
    const int held = slice_count(sources_of(x, x.stack_rows / 2)) + 1;
    return (4.0 * x.width * ((double)held * x.source_thickness + x.thickness)) / 1048576.0;
}

SliceRange xtilt_sources(const XTilt& x, const SliceRange& out) {
    return {sources_of(x, out.first).first, sources_of(x, out.last).last};
}

void xtilt_slice(const XTilt& x, int y, const float* const* sources, int first, int count, float* out) {
    const int W = x.width, T = x.thickness, T2 = x.source_thickness, last_row = x.stack_rows - 1;
    const double Y = y - centre(x.stack_rows), h = centre(T), h2 = centre(T2);
    auto held = [&](int u) { return sources[std::clamp(u - first, 0, count - 1)]; };
    for (int j = 0; j < T; ++j) {
        const double Z = j - h;
        float* row = out + (size_t)j * W;
        const double us = Y * x.cos_a - Z * x.sin_a + centre(x.stack_rows);
        if (!(us >= 0 && us <= last_row)) {
            std::fill(row, row + W, 0.0f);
            continue;
        }
        const double zs = std::clamp(Y * x.sin_a + Z * x.cos_a + h2, 0.0, (double)(T2 - 1));
        const int u0 = (int)us, j0 = (int)zs;
        const int u1 = std::min(u0 + 1, last_row), j1 = std::min(j0 + 1, T2 - 1);
        const float fu = (float)(us - u0), fj = (float)(zs - j0), gu = 1.0f - fu, gj = 1.0f - fj;
        const float* a0 = held(u0) + (size_t)j0 * W;
        const float* a1 = held(u0) + (size_t)j1 * W;
        const float* b0 = held(u1) + (size_t)j0 * W;
        const float* b1 = held(u1) + (size_t)j1 * W;
        for (int i = 0; i < W; ++i) row[i] = gu * (gj * a0[i] + fj * a1[i]) + fu * (gj * b0[i] + fj * b1[i]);
    }
}

XTiltWindow xtilt_window(const XTilt& plan, const SliceRange& out, const OutputFormat& format,
                         const std::function<void(int y, const float* values)>& write) {
    XTiltWindow w;
    w.plan = plan;
    w.out = out;
    w.format = format;
    w.write = write;
    w.next = out.first;
    w.first_held = xtilt_sources(plan, out).first;
    w.slice.resize((size_t)plan.width * plan.thickness);
    w.stats.reserve((size_t)std::max(slice_count(out), 0));
    return w;
}

void xtilt_window_add(XTiltWindow* w, int u, const float* values) {
    const size_t floats = (size_t)w->plan.width * w->plan.source_thickness;
    if (w->spare.empty()) w->spare.emplace_back(floats);
    w->held.push_back(std::move(w->spare.back()));
    w->spare.pop_back();
    std::copy(values, values + floats, w->held.back().begin());
    const int last_source = xtilt_sources(w->plan, w->out).last;
    while (w->next <= w->out.last && (sources_of(w->plan, w->next).last <= u || u == last_source)) {
        std::vector<const float*> sources;
        for (const std::vector<float>& s : w->held) sources.push_back(s.data());
        xtilt_slice(w->plan, w->next, sources.data(), w->first_held, (int)sources.size(), w->slice.data());
        w->stats.emplace_back();
        format_slices_with_stats(w->slice.data(), (int64_t)w->slice.size(), 1, w->format, &w->stats.back());
        w->write(w->next, w->slice.data());
        ++w->next;
        if (w->next > w->out.last) break;
        // Slices below the next output slice's sources are no longer needed.
        const int keep_from = sources_of(w->plan, w->next).first;
        while (w->first_held < keep_from && !w->held.empty()) {
            w->spare.push_back(std::move(w->held.front()));
            w->held.pop_front();
            ++w->first_held;
        }
    }
}
