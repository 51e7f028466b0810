#include "support/common.h"

#include "driver/output_header.h"
#include "driver/volume_stats.h"
#include "io/mrc_header.h"

namespace {

struct Reference {
    double mean, rms;
};

// Two passes in double over all values.
Reference reference_of(const std::vector<float>& v) {
    double sum = 0;
    for (float x : v) sum += x;
    const double mean = sum / (double)v.size();
    double sq = 0;
    for (float x : v) sq += ((double)x - mean) * ((double)x - mean);
    return {mean, std::sqrt(sq / (double)v.size())};
}

}  // namespace

struct SliceSplit {
    const char* name;
    double offset, spread;
    int slice_size, slices;
};

void PrintTo(const SliceSplit& c, std::ostream* os) { *os << c.name; }

class VolumeStatsSlices : public ::testing::TestWithParam<SliceSplit> {};

// Slice by slice gives the statistics of the whole volume, also where the mean
// dwarfs the spread (a plain sum of squares would cancel there).
TEST_P(VolumeStatsSlices, MatchTheWholeVolume) {
    const SliceSplit& c = GetParam();
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<float> v((size_t)c.slice_size * c.slices);
    for (size_t i = 0; i < v.size(); ++i) v[i] = (float)(c.offset + c.spread * noise(rng) + 0.01 * (double)(i / c.slice_size));
    VolumeStats s, t;
    for (int k = 0; k < c.slices; ++k) volume_stats_add(&s, v.data() + (size_t)k * c.slice_size, c.slice_size);
    // Slices taken together give each slice's statistics bit for bit.
    std::vector<VolumeStats> each((size_t)c.slices);
    volume_stats_of_slices(v.data(), c.slice_size, c.slices, each.data());
    for (const VolumeStats& e : each) volume_stats_merge(&t, e);
    EXPECT_EQ(std::vector<double>({t.min, t.max, t.sum, t.m2}), std::vector<double>({s.min, s.max, s.sum, s.m2}));
    const Reference r = reference_of(v);
    EXPECT_EQ(s.count, (int64_t)v.size());
    EXPECT_EQ(s.min, *std::min_element(v.begin(), v.end()));
    EXPECT_EQ(s.max, *std::max_element(v.begin(), v.end()));
    EXPECT_EQ(volume_stats_mean(s), (float)r.mean);
    EXPECT_NEAR(volume_stats_rms(s), r.rms, 1e-6 * r.rms);
}

INSTANTIATE_TEST_SUITE_P(Cases, VolumeStatsSlices,
                         ::testing::Values(SliceSplit{"centred", 0.0, 1.0, 1000, 7},
                                           SliceSplit{"large_offset", 1.0e4, 1.0e-2, 512, 9},
                                           SliceSplit{"tiny_slices", 5.0, 0.5, 1, 300}),
                         [](const auto& info) { return std::string(info.param.name); });

// Slices taken eight at a time add in storage order, as one slice alone: on
// values whose exponents span 2^-40 .. 2^40 a double sum in any other order
// differs in its last bits. Zeros of both signs and a NaN take part.
TEST(VolumeStats, SlicesTakenTogetherAddInStorageOrder) {
    const int n = 1000, slices = 11;
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> mantissa(-2.0f, 2.0f);
    std::uniform_int_distribution<int> exponent(-40, 40);
    std::vector<float> v((size_t)n * slices);
    for (float& x : v) x = std::ldexp(mantissa(rng), exponent(rng));
    v[5] = -0.0f, v[n + 7] = 0.0f, v[2 * n + 9] = std::nanf("");
    std::vector<VolumeStats> got((size_t)slices);
    volume_stats_of_slices(v.data(), n, slices, got.data());
    for (int s = 0; s < slices; ++s) {
        const float* x = v.data() + (size_t)s * n;
        double sum = 0, m2 = 0;
        for (int i = 0; i < n; ++i) sum += x[i];
        for (int i = 0; i < n; ++i) m2 += ((double)x[i] - sum / n) * ((double)x[i] - sum / n);
        std::vector<float> numbers;
        std::copy_if(x, x + n, std::back_inserter(numbers), [](float f) { return !std::isnan(f); });
        const auto [lo, hi] = std::minmax_element(numbers.begin(), numbers.end());
        const VolumeStats& g = got[(size_t)s];
        if (s == 2) {
            EXPECT_TRUE(std::isnan(g.sum) && std::isnan(g.m2));
        } else {
            EXPECT_EQ(std::vector<double>({g.sum, g.m2}), std::vector<double>({sum, m2})) << "slice " << s;
        }
        EXPECT_EQ(std::vector<float>({g.min, g.max}), std::vector<float>({*lo, *hi})) << "slice " << s;
        EXPECT_EQ(g.count, n);
    }
}

TEST(VolumeStats, MeanOfManyValuesUsesAWideSum) {
    // 17 million ones: a single-precision sum stalls at 2^24.
    std::vector<float> ones(1 << 20, 1.0f);
    VolumeStats s;
    for (int k = 0; k < 17; ++k) volume_stats_add(&s, ones.data(), (int64_t)ones.size());
    EXPECT_EQ(s.count, 17LL << 20);
    EXPECT_EQ(volume_stats_mean(s), 1.0f);
    EXPECT_EQ(volume_stats_rms(s), 0.0f);
}

// The output's CELLA carries the input's voxel size where the input states it
// along X (MX > 0 and CELLA X > 0) or Y; the statistics fill DMIN..RMS.
TEST(OutputHeader, CellAndStatistics) {
    const struct {
        float cella_x, cella_y;
        int mx, my;
        float out_x, out_y, out_z;  // expected output CELLA for 16 x 5 x 12
    } cases[] = {{32, 48, 16, 12, 32, 10, 48}, {3.2f, 0, 8, 12, 6.4f, 2, 0}, {32, 24, 0, 12, 0, 0, 24},
                 {-5, 24, 16, 12, 0, 0, 24}};
    for (const auto& c : cases) {
        MrcHeader in{};
        in.cella[0] = c.cella_x;
        in.cella[1] = c.cella_y;
        in.mx = c.mx;
        in.my = c.my;
        MrcHeader* out = mrc_fill_header(nullptr, 16, 5, 1, 0, 0, 0);
        VolumeStats stats;
        const float v[4] = {-1, 3, 3, 3};  // mean 2, off the middle of the range
        volume_stats_add(&stats, v, 4);
        complete_output_header(out, 16, 5, 12, stats, input_spacing(in));
        EXPECT_EQ(out->mz, 12);
        EXPECT_FLOAT_EQ(out->cella[0], c.out_x) << c.cella_x << " " << c.mx;
        EXPECT_FLOAT_EQ(out->cella[1], c.out_y) << c.cella_x << " " << c.mx;
        EXPECT_FLOAT_EQ(out->cella[2], c.out_z) << c.cella_y << " " << c.my;
        EXPECT_EQ(std::vector<float>({out->dmin, out->dmax, out->dmean}), std::vector<float>({-1, 3, 2}));
        EXPECT_FLOAT_EQ(out->rms, std::sqrt(3.0f));
        delete out;
    }
}
