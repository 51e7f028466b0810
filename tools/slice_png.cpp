// skarbel_slice_png: one section of one or more MRC float volumes side by
// side in a grey PNG, each volume scaled to its own range, for looking at a
// reconstruction beside its ground truth.
#include <getopt.h>
#include <png.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "io/fail.h"
#include "io/image.h"

namespace {

const char usage_text[] =
    "\nUsage:\t skarbel_slice_png [-z section] <out.png> <volume.mrc> [<volume.mrc> ...]\n\n"
    "Writes section z (default: the central one, nz/2, of each volume) of every\n"
    "MODE 2 volume side by side as an 8-bit grey PNG, each scaled from its own\n"
    "minimum (black) to its maximum (white); a constant section is black. Row 0\n"
    "of a section is at the bottom of the picture.\n\n";

constexpr int gap = 4;  // columns between panels
constexpr unsigned char gap_grey = 128;

[[noreturn]] void usage() { fail(usage_text); }

// One section as grey levels, rows top to bottom.
struct Panel {
    int width = 0, height = 0;
    std::vector<unsigned char> grey;
};

const char* read_error(int code) {
    switch (code) {
        case -1: return "cannot be opened or has no readable MRC header";
        case -2: return "is not a float (MODE 2) volume";
        case -3: return "is too large for memory";
        default: return "is shorter than its header says";
    }
}

Panel panel_of(const char* file_name, int section) {
    const std::unique_ptr<Image> image = image_new();
    const int code = image_read_volume(file_name, image.get());
    const int nz = image->nz;
    const int z = section < 0 ? nz / 2 : section;
    if (code != 0) failf("skarbel_slice_png: %s %s\n", file_name, read_error(code));
    if (z >= nz) failf("skarbel_slice_png: %s has %d sections, no section %d\n", file_name, nz, z);

    Panel p;
    p.width = image->nx;
    p.height = image->ny;
    float lo = INFINITY, hi = -INFINITY;
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) {
            const float v = image->data[z][y][x];
            if (!std::isfinite(v)) continue;
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    const double range = hi > lo ? (double)hi - lo : 0.0;
    p.grey.assign((size_t)p.width * (size_t)p.height, 0);
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) {
            const float v = image->data[z][y][x];
            if (range == 0 || !std::isfinite(v)) continue;
            const size_t row = (size_t)(p.height - 1 - y);
            p.grey[row * (size_t)p.width + (size_t)x] = (unsigned char)std::lround(255.0 * (v - lo) / range);
        }
    return p;
}

// Panels left to right, top-aligned, separated by grey columns.
std::vector<unsigned char> compose(const std::vector<Panel>& panels, int* width, int* height) {
    int w = 0, h = 0;
    for (const Panel& p : panels) {
        w += p.width + (w ? gap : 0);
        h = std::max(h, p.height);
    }
    std::vector<unsigned char> out((size_t)w * (size_t)h, 0);
    int left = 0;
    for (const Panel& p : panels) {
        if (left) {
            for (int y = 0; y < h; ++y)
                for (int x = left - gap; x < left; ++x) out[(size_t)y * w + x] = gap_grey;
        }
        for (int y = 0; y < p.height; ++y)
            std::copy_n(p.grey.begin() + (ptrdiff_t)y * p.width, p.width, out.begin() + (ptrdiff_t)y * w + left);
        left += p.width + gap;
    }
    *width = w;
    *height = h;
    return out;
}

// libpng's own handlers print their texts; ours stay quiet and let the
// caller report the failure in its own words.
void png_quiet_error(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void png_quiet_warning(png_structp, png_const_charp) {}

void write_png(const char* file_name, const std::vector<unsigned char>& grey, int width, int height) {
    FILE* file = fopen(file_name, "wb");
    if (!file) failf("skarbel_slice_png: cannot write %s\n", file_name);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, png_quiet_error, png_quiet_warning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    // libpng reports its errors by jumping back here.
    if (!png || !info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        failf("skarbel_slice_png: cannot write %s\n", file_name);
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, (png_uint_32)width, (png_uint_32)height, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < height; ++y) png_write_row(png, grey.data() + (size_t)y * width);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    if (fclose(file) != 0) failf("skarbel_slice_png: cannot write %s\n", file_name);
}

int section_number(const char* text) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || v < 0 || v > INT_MAX)
        failf("skarbel_slice_png: -z needs a section number of 0 or more, got \"%s\"\n", text);
    return (int)v;
}

int run(int argc, char** argv) {
    int section = -1;
    int opt;
    while ((opt = getopt(argc, argv, ":z:")) != -1) {
        if (opt != 'z') usage();
        section = section_number(optarg);
    }
    if (argc - optind < 2) usage();
    const char* out = argv[optind];
    std::vector<Panel> panels;
    for (int i = optind + 1; i < argc; ++i) panels.push_back(panel_of(argv[i], section));
    int width = 0, height = 0;
    const std::vector<unsigned char> picture = compose(panels, &width, &height);
    if ((double)width * height > (double)INT_MAX) fail("skarbel_slice_png: picture too large\n");
    write_png(out, picture, width, height);
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return main_reporting_errors(run, argc, argv); }
