// --position end to end on textured slabs of known pose: the options found, the positioned volume, the refusals.
#include <random>

#include "support/common.h"
#include "support/volumes.h"
#include "driver/position.h"
#include "tools/textured_slab.h"

namespace {

constexpr int kNx = 256, kNy = 256;

struct Found {
    double offset = 0, xtilt = 0, shift_z = 0;
    int thickness = 0;
    std::string options;
};

// The stack of a slab (noise of the given SNR when > 0) into dir/s.mrc and s.tlt.
std::vector<std::string> slab_files(const TempDir& dir, const SlabPose& pose, double snr) {
    const std::vector<float> angles = phantom_tilt_angles(61, 60);
    const TexturedSlab slab = textured_slab(pose, kNx, kNy, 60, 5.0, 1);
    std::vector<float> stack = slab_project(slab, kNx, kNy, angles);
    if (snr > 0) add_noise(&stack, snr, 2);
    write_test_stack(dir.file("s.mrc"), kNx, kNy, 61, 2, stack);
    write_tilt_file(dir.file("s.tlt"), angles);
    return {dir.file("s.tlt"), dir.file("s.mrc")};
}

// The equivalent options --position-only prints, read back.
Found position_only(const std::vector<std::string>& args) {
    const Captured r = run_skarbel(args);
    EXPECT_EQ(r.status, 0) << r.err;
    Found f;
    const size_t line = r.out.find('\n');
    EXPECT_NE(line, std::string::npos) << r.out;
    if (line == std::string::npos) return f;
    f.options = r.out.substr(line + 1, r.out.size() - line - 2);
    EXPECT_EQ(std::sscanf(f.options.c_str(), "--offset=%lf --xaxis-tilt=%lf --shift=0,%lf -z%d", &f.offset, &f.xtilt,
                          &f.shift_z, &f.thickness),
              4)
        << r.out;
    // The line for people, with the same values rounded.
    char people[256];
    std::snprintf(people, sizeof people, "Position: offset %.2f deg, X-axis tilt %.2f deg, Z shift %.1f px, thickness %d px (found in ",
                  f.offset, f.xtilt, f.shift_z, f.thickness);
    EXPECT_EQ(r.out.rfind(people, 0), 0u) << r.out;
    return f;
}

std::vector<std::string> split(const std::string& words) {
    std::vector<std::string> out;
    std::istringstream in(words);
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

// Correlation with the slab's density (8 points per voxel) over the voxels inside the slab.
double slab_correlation(const TexturedSlab& slab, const Volume& v,
                        const std::function<void(const double*, double*)>& world_of) {
    std::vector<float> recon, truth;
    for (int y = 0; y < v.nz; ++y)
        for (int j = 0; j < v.ny; ++j)
            for (int i = 0; i < v.nx; ++i) {
                const double c[3] = {i - 0.5 * (v.nx - 1), y - 0.5 * (v.nz - 1), j - 0.5 * (v.ny - 1)};
                double w[3], s[3];
                world_of(c, w);
                slab_from_world(slab.pose, w, s);
                if (std::fabs(s[2]) > 0.5 * slab.pose.thickness) continue;
                double sum = 0;
                for (int k = 0; k < 8; ++k) {
                    const double d[3] = {c[0] + (k & 1 ? 0.25 : -0.25), c[1] + (k & 2 ? 0.25 : -0.25),
                                         c[2] + (k & 4 ? 0.25 : -0.25)};
                    world_of(d, w);
                    sum += slab_density(slab, w[0], w[1], w[2]);
                }
                recon.push_back(v.section(y)[(size_t)j * v.nx + i]);
                truth.push_back((float)(sum / 8));
            }
    return correlation(recon, truth);
}

struct Case {
    SlabPose pose;
    int range;  // -z
    double snr;
    int bin;    // --position=BIN
};

// DELANG, A, DZ, thickness; range 2 to 5 times the thickness.
const Case kCases[] = {
    {{3, 2, 20, 100}, 300, 0, 1},     {{-6, -4, -30, 60}, 300, 0, 1}, {{6, 4, 40, 150}, 400, 0, 1},
    {{0, 0, 0, 200}, 500, 0, 1},      {{-2, 3, -50, 80}, 250, 0, 1},  {{3, 2, 20, 100}, 300, 0.1, 2},
    {{-6, -4, -30, 60}, 300, 0.1, 2}, {{2, -3, 15, 300}, 700, 0, 1},
};

TEST(Position, FindsTheSlabsPose) {
    for (const Case& c : kCases) {
        TempDir dir;
        std::vector<std::string> args = slab_files(dir, c.pose, c.snr);
        args.insert(args.begin(), {"--position-only", std::string("--position=").append(std::to_string(c.bin)),
                                   std::string("-z").append(std::to_string(c.range))});
        args.push_back(dir.file("o.mrc"));
        const Found f = position_only(args);
        const SlabPose& t = c.pose;
        std::printf("truth %5.1f %5.1f %6.1f %4.0f | found %6.2f %6.2f %7.2f %4d (range %d, snr %g, bin %d)\n",
                    t.offset_deg, t.xtilt_deg, t.shift_z, t.thickness, f.offset, f.xtilt, f.shift_z, f.thickness,
                    c.range, c.snr, c.bin);
        EXPECT_NEAR(f.offset, t.offset_deg, 0.3);
        EXPECT_NEAR(f.xtilt, t.xtilt_deg, 0.3);
        EXPECT_NEAR(f.shift_z, t.shift_z, 2.0);
        // The slab found holds the true one, with at most 20 % to spare.
        EXPECT_GE(0.5 * f.thickness, 0.5 * t.thickness + std::fabs(f.shift_z - t.shift_z));
        EXPECT_LE(f.thickness, 1.2 * t.thickness);
        EXPECT_EQ(names_in(dir.path), (std::set<std::string>{"s.mrc", "s.tlt"}));
    }
}

// The positioned run writes what its printed options write, and shows the slab as the whole range does.
TEST(Position, RunsAsItsOptionsAndKeepsTheSlab) {
    TempDir dir;
    const SlabPose pose{3, 2, 20, 100};
    const std::vector<std::string> in = slab_files(dir, pose, 0);
    const Captured r = run_skarbel({"--position", "-z300", in[0], in[1], dir.file("p.mrc")});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string equivalent = r.out.substr(r.out.find('\n') + 1, r.out.find('\n', r.out.find('\n') + 1) - r.out.find('\n') - 1);
    std::vector<std::string> hand = split(equivalent);
    hand.insert(hand.end(), {in[0], in[1], dir.file("h.mrc")});
    ASSERT_EQ(run_skarbel(hand).status, 0);
    EXPECT_EQ(read_file(dir.file("p.mrc")), read_file(dir.file("h.mrc")));
    ASSERT_EQ(run_skarbel({"-z300", in[0], in[1], dir.file("u.mrc")}).status, 0);

    Found f;
    ASSERT_EQ(std::sscanf(equivalent.c_str(), "--offset=%lf --xaxis-tilt=%lf --shift=0,%lf -z%d", &f.offset, &f.xtilt,
                          &f.shift_z, &f.thickness), 4);
    const TexturedSlab slab = textured_slab(pose, kNx, kNy, 60, 5.0, 1);
    const SlabPose seen{f.offset, f.xtilt, f.shift_z, (double)f.thickness};
    const double positioned = slab_correlation(slab, read_volume(dir.file("p.mrc")),
                                               [&](const double* c, double* w) { world_from_slab(seen, c, w); });
    const double plain = slab_correlation(slab, read_volume(dir.file("u.mrc")), [](const double* c, double* w) {
        std::copy(c, c + 3, w);
    });
    std::printf("correlation over the slab: positioned %.4f, whole range %.4f\n", positioned, plain);
    // --xaxis-tilt's output is interpolated between slices, which costs a little.
    EXPECT_GE(positioned, plain - 0.01);
    EXPECT_GT(plain, 0.3);
    // A margin of 30 pixels instead of the default 10 (10 % of about 100).
    const Found wide = position_only({"--position-only", "--position-margin=30", "-z300", in[0], in[1], dir.file("x.mrc")});
    EXPECT_NEAR(wide.thickness, f.thickness + 20, 1);
}

TEST(Position, RefusesWhatHoldsNoSlab) {
    const std::string advice = "Try a larger -z (the search range), or --position=BIN with another BIN than ";
    struct Refusal {
        const char* name;
        std::function<std::vector<std::string>(const TempDir&)> files;
        std::vector<std::string> options;
        std::string why;
    };
    auto constant = [](float value) {
        return [value](const TempDir& dir) {
            write_test_stack(dir.file("s.mrc"), kNx, 64, 61, 2, std::vector<float>((size_t)kNx * 64 * 61, value));
            write_tilt_file(dir.file("s.tlt"), phantom_tilt_angles(61, 60));
            return std::vector<std::string>{dir.file("s.tlt"), dir.file("s.mrc")};
        };
    };
    // Noise alone: rows far out in a range wider than the stack are seen by
    // fewer tilts and hold less of it, which is no specimen either.
    auto noise = [](const TempDir& dir) {
        std::mt19937 random(3);
        std::normal_distribution<float> normal;
        std::vector<float> stack((size_t)kNx * 64 * 61);
        for (float& v : stack) v = normal(random);
        write_test_stack(dir.file("s.mrc"), kNx, 64, 61, 2, stack);
        write_tilt_file(dir.file("s.tlt"), phantom_tilt_angles(61, 60));
        return std::vector<std::string>{dir.file("s.tlt"), dir.file("s.mrc")};
    };
    const Refusal cases[] = {
        {"empty", constant(0), {"-z300"}, "too little texture: 0 of 40 column blocks of the preview stand out"},
        {"flat", constant(5), {"-z300"}, "the specimen reaches the edge of the search range"},
        {"noise", noise, {"-z900", "--position=4"}, "too little texture: "},
        {"outside", [](const TempDir& d) { return slab_files(d, {-2, 3, -50, 80}, 0); }, {"-z120"},
         "the specimen reaches the edge of the search range in 40 of 40 column blocks"},
        {"bad fit", [](const TempDir& d) { return slab_files(d, {0, 0, 0, 200}, 0.1); }, {"-z500", "--position=4"},
         "the surfaces fit no plane well enough: the angles are uncertain by "},
    };
    for (const Refusal& c : cases) {
        TempDir dir;
        std::vector<std::string> args = c.files(dir);
        const std::set<std::string> before = names_in(dir.path);
        args.insert(args.begin(), c.options.begin(), c.options.end());
        args.insert(args.begin(), "--position");
        args.push_back(dir.file("o.mrc"));
        const Captured r = run_skarbel(args);
        EXPECT_EQ(r.status, 255) << c.name;
        EXPECT_EQ(r.err.rfind("Position not found: " + c.why, 0), 0u) << c.name << ": " << r.err;
        EXPECT_NE(r.err.find(advice), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "") << c.name;
        EXPECT_EQ(names_in(dir.path), before) << c.name;
    }
}

// The preview's bin brings the width to 512 or fewer (the option's values: test_option_table).
TEST(Position, DefaultBin) {
    for (const auto& [nx, bin] : std::vector<std::pair<int, int>>{{256, 1}, {512, 1}, {513, 2}, {1024, 2}, {1025, 2}, {1027, 4}, {4096, 8}})
        EXPECT_EQ(position_default_bin(nx), bin) << nx;
}

}  // namespace
