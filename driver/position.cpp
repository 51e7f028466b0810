#include "driver/position.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <vector>

#include "driver/long_options.h"
#include "driver/position_fit.h"
#include "driver/position_preview.h"
#include "driver/position_surfaces.h"
#include "io/fail.h"
#include "io/image.h"

namespace {

constexpr double kDeg = 180.0 / M_PI;
constexpr double kMaxAngleError = 0.5;  // degrees, one standard error of the fitted slopes

// The sizes of the stack as stored.
void stack_size(const RunOptions& o, const ArrayStack* array, int* nx, int* ny) {
    if (array) {
        *nx = array->nx;
        *ny = array->ny;
        return;
    }
    const std::unique_ptr<Image> stack = image_new();
    fclose(image_open_stack(o.input_file.c_str(), stack.get()));
    *nx = stack->nx;
    *ny = stack->ny;
}

[[noreturn]] void refuse(const char* why, int bin) {
    failf("Position not found: %s.\nTry a larger -z (the search range), or --position=BIN with another BIN than %d.\n\n",
          why, bin);
}

// Shortest text that reads back as the same double.
std::string number(double v) {
    char text[64];
    const auto end = std::to_chars(text, text + sizeof text, v).ptr;
    return std::string(text, end);
}

std::string equivalent_options(const RunOptions& user, double offset, double xtilt, double shift_z, int thickness) {
    const Alignment& al = user.alignment;
    std::string s = "--offset=";
    s += number(al.angle_offset + offset);
    if (al.axis_offset != 0) s.append(",").append(number(al.axis_offset));
    s.append(" --xaxis-tilt=").append(number(al.xaxis_tilt + xtilt));
    s.append(" --shift=").append(number(al.shift_x)).append(",").append(number(shift_z));
    return s.append(" -z").append(std::to_string(thickness));
}

// The final run's values from the fitted surfaces (stack pixels of the
// preview's frame, which already holds the user's DELANG and shift): the
// angle about Y flattens the slope along X, the X-axis tilt the slope along Y
// as it is after that rotation, DZ brings the middle surface to the centre.
Position position_of(const RunOptions& user, const SlabFit& fit, int nx, int ny, double margin_given) {
    const Alignment& al = user.alignment;
    const double s = fit.mid.s, t = fit.mid.t, c = fit.mid.a;
    const double delta = std::atan(s);
    const double xtilt = std::atan(t * std::cos(delta));
    Position p;
    p.offset_deg = delta * kDeg;
    p.xtilt_deg = xtilt * kDeg - al.xaxis_tilt;
    p.shift_z = (al.shift_z - c - s * al.shift_x) * std::cos(delta);
    // The largest distance between the surfaces over the field, across the slab.
    const double across = 1 / std::sqrt(1 + s * s + t * t);
    const double hx = 0.5 * (al.width > 0 ? al.width : nx), hy = 0.5 * ny;
    double widest = 0;
    for (double x : {-hx, hx})
        for (double y : {-hy, hy}) widest = std::max(widest, (fit.top.at(x, y) - fit.bottom.at(x, y)) * across);
    const double margin = margin_given >= 0 ? margin_given : std::max(8.0, 0.1 * widest);
    p.thickness = std::max(1, (int)std::ceil(widest + margin));
    p.options = equivalent_options(user, p.offset_deg, p.xtilt_deg, p.shift_z, p.thickness);
    return p;
}

// Refuses a search that found no slab, or surfaces no plane fits.
void check_search(const SurfaceSearch& found, int bin) {
    char why[256];
    if (found.with_content * 4 < found.blocks) {
        snprintf(why, sizeof why,
                 "too little texture: %d of %d column blocks of the preview stand out of the background",
                 found.with_content, found.blocks);
        refuse(why, bin);
    }
    if (found.clipped * 3 > found.with_content) {
        snprintf(why, sizeof why, "the specimen reaches the edge of the search range in %d of %d column blocks",
                 found.clipped, found.with_content);
        refuse(why, bin);
    }
}

void check_fit(const SlabFit& fit, size_t points, double bound, int bin) {
    char why[256];
    if (fit.top.kept == 0 || fit.bottom.kept == 0) refuse("the surfaces fit no plane", bin);
    const Plane& mid = fit.mid;
    if (mid.kept * 2 < (int)points) {
        snprintf(why, sizeof why, "the surfaces fit no plane: %d of %d column blocks lie within %.1f px of it", mid.kept,
                 (int)points, bound);
        refuse(why, bin);
    }
    if (mid.rms > bound) {
        snprintf(why, sizeof why, "the surfaces fit no plane: residual %.1f px, more than the %.1f px allowed", mid.rms,
                 bound);
        refuse(why, bin);
    }
    const double uncertain = std::max(std::atan(mid.se_s), std::atan(mid.se_t)) * kDeg;
    if (uncertain > kMaxAngleError) {
        snprintf(why, sizeof why,
                 "the surfaces fit no plane well enough: the angles are uncertain by %.2f deg, more than the %.2f "
                 "deg allowed",
                 uncertain, kMaxAngleError);
        refuse(why, bin);
    }
    if (!(fit.top.a > fit.bottom.a)) refuse("the surfaces found cross each other", bin);
}

}  // namespace

int position_default_bin(int nx) {
    int bin = 1;
    while (nx / bin > 512) bin *= 2;
    return bin;
}

Position find_position(const RunOptions& user, const ArrayStack* array) {
    const auto start = std::chrono::steady_clock::now();
    int nx = 0, ny = 0;
    stack_size(user, array, &nx, &ny);
    const int bin = user.position_bin > 0 ? user.position_bin : position_default_bin(nx);
    const PreviewBands preview = preview_bands(user, array, bin);
    const SurfaceSearch found = find_surfaces(preview);
    check_search(found, bin);
    // Residuals within 2 preview pixels count as on the plane; a fit off by more than 4 is no fit.
    const SlabFit fit = fit_slab(found.points, 2.0 * bin);
    check_fit(fit, found.points.size(), 4.0 * bin, bin);
    Position p = position_of(user, fit, nx, ny, user.position_margin ? *user.position_margin : -1);
    p.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return p;
}

void print_position(const Position& p) {
    printf("Position: offset %.2f deg, X-axis tilt %.2f deg, Z shift %.1f px, thickness %d px (found in %.1f s)\n",
           p.offset_deg, p.xtilt_deg, p.shift_z, p.thickness, p.seconds);
    printf("%s\n", p.options.c_str());
    fflush(stdout);
}

RunOptions positioned_options(const RunOptions& options, const std::string& equivalent) {
    RunOptions o = options;
    o.position = false;
    o.position_only = false;
    std::istringstream words(equivalent);
    std::string word;
    while (words >> word) {
        if (word.rfind("-z", 0) == 0) {
            o.thickness_given = true;
            o.thickness = std::stoi(word.substr(2));
        } else {
            apply_long_option(word.c_str(), &o);
        }
    }
    return o;
}
