// skarbel_phantom: writes a test case for skarbel: an analytic phantom's tilt
// series (MRC stack and tilt file) and its ground truth in the orientation of
// the reconstruction.
#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "io/fail.h"
#include "tools/phantom.h"
#include "tools/stack_writer.h"
#include "tools/textured_slab.h"

namespace {

const char usage_text[] =
    "\nUsage:\t skarbel_phantom [-x nx] [-y ny] [-z thickness] [-t ntilts] [-r max_angle] [-m mode] [-b] "
    "[-e nsymbt] [-s supersample] [-p DELANG,A,DZ,T] [-d spacing] [-n snr] <out_prefix>\n\n"
    "Writes <out_prefix>.mrc (the tilt series, one projection per section),\n"
    "<out_prefix>.tlt (the tilt angles, one per line) and <out_prefix>_truth.mrc\n"
    "(the phantom as skarbel writes its reconstruction: nx x thickness x ny).\n\n"
    "  -x nx           projection width and slice width (default 256)\n"
    "  -y ny           projection height = number of slices (default 256)\n"
    "  -z thickness    slice height (default 128)\n"
    "  -t ntilts       number of tilts (default 61)\n"
    "  -r max_angle    tilts spread evenly over -max_angle..max_angle degrees (default 60)\n"
    "  -m mode         MRC mode of the stack: 0 (bytes), 1 (16-bit), 2 (float, default);\n"
    "                  modes 0 and 1 are scaled to fill their range, and the truth by the same factor\n"
    "  -b              write the stack in the other byte order\n"
    "  -e nsymbt       extended header of nsymbt zero bytes in the stack (default 0)\n"
    "  -s supersample  truth voxels average supersample^2 points of their pixel (default 4)\n"
    "  -p DELANG,A,DZ,T  a textured slab T pixels thick instead of the default phantom: small dense\n"
    "                  balls, pitched and moved so that --offset=DELANG --xaxis-tilt=A --shift=0,DZ\n"
    "                  shows it flat and centred; its ground truth is point-sampled\n"
    "  -d spacing      the slab holds one ball per spacing^3 pixels (default 5)\n"
    "  -n snr          add Gaussian noise of the samples' variance / snr (default: none)\n\n";

[[noreturn]] void usage() { fail(usage_text); }

struct Settings {
    PhantomSize size{256, 256, 128};
    int ntilts = 61;
    float max_angle = 60.0f;
    StackFormat format;
    int supersample = 4;
    bool slab = false;
    SlabPose pose;
    double snr = 0;
    double spacing = 5;
    std::string prefix;
};

int whole_number(char letter, const char* text, int lo, int hi) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || v < lo || v > hi)
        failf("skarbel_phantom: -%c needs a whole number from %d to %d, got \"%s\"\n", letter, lo, hi, text);
    return (int)v;
}

float angle(const char* text) {
    char* end = nullptr;
    const float v = std::strtof(text, &end);
    if (end == text || *end != '\0' || !(v >= 0.0f && v <= 90.0f))
        failf("skarbel_phantom: -r needs an angle from 0 to 90 degrees, got \"%s\"\n", text);
    return v;
}

double positive(char letter, const char* text) {
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(v > 0 && v < 1e30))
        failf("skarbel_phantom: -%c needs a positive number, got \"%s\"\n", letter, text);
    return v;
}

SlabPose slab_pose(const char* text) {
    SlabPose p;
    char tail = 0;
    if (std::sscanf(text, "%lf,%lf,%lf,%lf%c", &p.offset_deg, &p.xtilt_deg, &p.shift_z, &p.thickness, &tail) != 4 ||
        !(p.thickness >= 1 && p.thickness < 65536) || !(std::fabs(p.offset_deg) < 45) || !(std::fabs(p.xtilt_deg) < 45) ||
        !(std::fabs(p.shift_z) < 65536))
        failf("skarbel_phantom: -p needs DELANG,A,DZ,T (angles below 45 degrees, 1 <= T < 65536), got \"%s\"\n", text);
    return p;
}

// The slab's density at the voxel centres of the plain reconstruction.
std::vector<float> slab_truth(const TexturedSlab& slab, const PhantomSize& size) {
    std::vector<float> v((size_t)size.nx * size.thickness * size.ny);
    size_t at = 0;
    for (int y = 0; y < size.ny; ++y)
        for (int j = 0; j < size.thickness; ++j)
            for (int i = 0; i < size.nx; ++i)
                v[at++] = (float)slab_density(slab, i - 0.5 * (size.nx - 1), y - 0.5 * (size.ny - 1),
                                              j - 0.5 * (size.thickness - 1));
    return v;
}

Settings parse(int argc, char** argv) {
    Settings s;
    int opt;
    while ((opt = getopt(argc, argv, ":x:y:z:t:r:m:be:s:p:n:d:")) != -1) {
        switch (opt) {
            case 'x': s.size.nx = whole_number('x', optarg, 1, 65536); break;
            case 'y': s.size.ny = whole_number('y', optarg, 1, 65536); break;
            case 'z': s.size.thickness = whole_number('z', optarg, 1, 65536); break;
            case 't': s.ntilts = whole_number('t', optarg, 1, 10000); break;
            case 'r': s.max_angle = angle(optarg); break;
            case 'm': s.format.mode = whole_number('m', optarg, 0, 2); break;
            case 'b': s.format.other_byte_order = true; break;
            case 'e': s.format.nsymbt = whole_number('e', optarg, 0, 1 << 24); break;
            case 's': s.supersample = whole_number('s', optarg, 1, 16); break;
            case 'p': s.slab = true, s.pose = slab_pose(optarg); break;
            case 'n': s.snr = positive('n', optarg); break;
            case 'd':
                s.spacing = positive('d', optarg);
                if (s.spacing < 1) failf("skarbel_phantom: -d needs a spacing of at least 1, got \"%s\"\n", optarg);
                break;
            default: usage();
        }
    }
    if (optind != argc - 1) usage();
    s.prefix = argv[optind];
    // The program counts samples in 32 bits.
    const double voxels = (double)s.size.nx * s.size.ny * std::max(s.size.thickness, s.ntilts);
    if (voxels > INT_MAX) fail("skarbel_phantom: sizes too large (more than 2^31 - 1 samples)\n");
    return s;
}

// Factor that makes the largest projection fill the range of an integer mode.
double mode_scale(int mode, const std::vector<float>& stack) {
    if (mode == 2) return 1.0;
    double peak = 0;
    for (float v : stack) peak = std::max(peak, (double)std::fabs(v));
    if (peak == 0) return 1.0;
    return (mode == 0 ? 255.0 : 32767.0) / peak;
}

void scale_all(std::vector<float>& values, double factor) {
    if (factor == 1.0) return;
    for (float& v : values) v = (float)(v * factor);
}

void write_tilts(const std::string& path, const std::vector<float>& angles) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) failf("skarbel_phantom: cannot write %s\n", path.c_str());
    bool ok = true;
    for (float a : angles) ok = std::fprintf(f, "%.9g\n", a) > 0 && ok;
    if (std::fclose(f) != 0 || !ok) failf("skarbel_phantom: cannot write %s\n", path.c_str());
}

void write_mrc(const std::string& path, int nx, int ny, int nz, const std::vector<float>& values,
               const StackFormat& format) {
    if (!write_stack(path, nx, ny, nz, values, format)) failf("skarbel_phantom: cannot write %s\n", path.c_str());
}

int run(int argc, char** argv) {
    Settings s = parse(argc, argv);
    const PhantomSize& size = s.size;
    const std::vector<float> angles = phantom_tilt_angles(s.ntilts, s.max_angle);
    std::vector<float> stack, truth;
    if (s.slab) {
        const TexturedSlab slab = textured_slab(s.pose, size.nx, size.ny, s.max_angle, s.spacing, 1);
        stack = slab_project(slab, size.nx, size.ny, angles);
        truth = slab_truth(slab, size);
    } else {
        const Phantom phantom = default_phantom(size);
        stack = phantom_project(phantom, size, angles);
        truth = phantom_truth(phantom, size, s.supersample);
    }
    if (s.snr > 0) add_noise(&stack, s.snr, 2);
    const double scale = mode_scale(s.format.mode, stack);
    scale_all(stack, scale);
    scale_all(truth, scale);

    const std::string stack_path = s.prefix + ".mrc", tilt_path = s.prefix + ".tlt",
                      truth_path = s.prefix + "_truth.mrc";
    s.format.tags = MrcTags::image_stack;
    write_mrc(stack_path, size.nx, size.ny, s.ntilts, stack, s.format);
    write_tilts(tilt_path, angles);
    StackFormat truth_format;
    truth_format.tags = MrcTags::volume;
    write_mrc(truth_path, size.nx, size.thickness, size.ny, truth, truth_format);

    std::printf("Phantom %d x %d, thickness %d, %d tilts from %g to %g degrees\n", size.nx, size.ny, size.thickness,
                s.ntilts, angles.front(), angles.back());
    std::printf("Tilt series: %s (MODE %d%s%s)\n", stack_path.c_str(), s.format.mode,
                s.format.other_byte_order ? ", other byte order" : "", s.format.nsymbt ? ", extended header" : "");
    std::printf("Tilt angles: %s\n", tilt_path.c_str());
    std::printf("Ground truth: %s (%d x %d x %d)\n", truth_path.c_str(), size.nx, size.thickness, size.ny);
    if (scale != 1.0) std::printf("Samples and ground truth scaled by %.9g\n", scale);
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return main_reporting_errors(run, argc, argv); }
