// The ramp filter checked against an independent double-precision evaluation:
// the spectrum by a direct DFT of the spatial kernel, the filtered rows by a
// direct circular convolution of the mean-padded row with the tapered kernel.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "support/capture.h"
#include "weighting_reference.h"
#include "weighting/weighting.h"

namespace {

constexpr double float_eps = std::numeric_limits<float>::epsilon();
using namespace weighting_ref;

// The tapered kernel back in space: h[j] = 1/n sum_m H[m] cos(2 pi m j / n).
std::vector<double> reference_tapered_kernel(int nx, int n) {
    const std::vector<double> spectrum = reference_ramp_spectrum(nx, n, true);
    const std::vector<double> c = cos_table(n);
    std::vector<double> h((size_t)n);
    for (int j = 0; j < n; ++j) {
        double sum = 0;
        for (int m = 0; m < n; ++m) sum += spectrum[(size_t)m] * c[(size_t)(((int64_t)m * j) % n)];
        h[(size_t)j] = sum / n;
    }
    return h;
}

// Row padded with its mean to n samples, circularly convolved with the kernel.
std::vector<double> reference_filter_row(const std::vector<float>& row, const std::vector<double>& kernel) {
    const int nx = (int)row.size(), n = (int)kernel.size();
    double mean = 0;
    for (float v : row) mean += v;
    mean /= nx;
    std::vector<double> padded((size_t)n, mean);
    std::copy(row.begin(), row.end(), padded.begin());
    std::vector<double> out((size_t)nx);
    for (int i = 0; i < nx; ++i) {
        double sum = 0;
        for (int j = 0; j < n; ++j) sum += padded[(size_t)j] * kernel[(size_t)((i - j + n) % n)];
        out[(size_t)i] = sum;
    }
    return out;
}

std::vector<float> random_row(int nx, float offset, float spread, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-spread, spread);
    std::vector<float> row((size_t)nx);
    for (float& v : row) v = offset + u(rng);
    return row;
}

// A sinogram image over caller-owned samples, indexed the way image_alloc does.
struct SinogramView {
    std::vector<float> samples;
    std::vector<float*> rows;
    float** section;
    Image image;
    SinogramView(int nx, int ny, const std::vector<float>& values) : samples(values), rows((size_t)ny) {
        for (int y = 0; y < ny; ++y) rows[(size_t)y] = samples.data() + (size_t)y * nx;
        section = rows.data();
        image.nx = nx;
        image.ny = ny;
        image.nz = 1;
        image.data = &section;
    }
    ~SinogramView() { image.data = nullptr; }
};

// Releases the process-wide filter at the end of each test.
class Weighting : public ::testing::Test {
protected:
    void TearDown() override { weighting_teardown(); }
};

}  // namespace

TEST(WeightingFftSize, FollowsTheTransformLengthRule) {
    struct Case {
        int nx, n;
    };
    const Case cases[] = {
        {1, 4},        {2, 8},        {3, 8},        {100, 256},  {460, 1024},      {461, 2048},
        {512, 2048},   {1000, 4096},  {1843, 4096},  {1844, 8192}, {4096, 16384},
        {(1 << 28) + 1, 1 << 30},     {1 << 28, 1 << 30},
        {1 << 29, 0},  {std::numeric_limits<int>::max(), 0},
    };
    for (const Case& c : cases) EXPECT_EQ(weighting_choose_fft_size(c.nx), c.n) << "nx " << c.nx;
    for (int p = 1; p <= 1 << 27; p *= 2) EXPECT_EQ(weighting_choose_fft_size(p), 4 * p) << "nx " << p;
}

class WeightingSpectrum : public Weighting, public ::testing::WithParamInterface<int> {};

TEST_P(WeightingSpectrum, MatchesDirectDftOfTaperedRampKernel) {
    const int nx = GetParam();
    weighting_setup(nx, 61);
    const int n = weighting_fft_size();
    ASSERT_EQ(n, weighting_choose_fft_size(nx));
    const float* s = weighting_filter_spectrum();
    const std::vector<double> tapered = reference_ramp_spectrum(nx, n, true);
    const std::vector<double> plain = reference_ramp_spectrum(nx, n, false);

    // Single-precision FFT round-off: about eps * log2(N) times the kernel's
    // l1 norm, which stays below 0.5 for this kernel.
    const double tol = float_eps * std::log2((double)n) * 0.5;
    double worst = 0;
    for (int k = 0; k < n; ++k) {
        worst = std::max(worst, std::fabs(s[2 * k] - tapered[(size_t)k]));
        worst = std::max(worst, std::fabs((double)s[2 * k + 1]));
    }
    EXPECT_LE(worst, tol) << "N " << n;

    // The taper: 1 up to N/4 and from 3N/4, 0.08 squared at N/2.
    EXPECT_NEAR(s[2 * (n / 2)] / plain[(size_t)(n / 2)], 0.0064, 1e-5);
    EXPECT_NEAR(s[2 * (n / 4)] / plain[(size_t)(n / 4)], 1.0, 1e-5);
    EXPECT_NEAR(s[2 * (3 * n / 4)] / plain[(size_t)(3 * n / 4)], 1.0, 1e-5);
    // Before the taper the spectrum is the ramp |f|, f in cycles per sample.
    if (nx >= 100) {
        EXPECT_NEAR(plain[(size_t)(n / 4)], 0.25, 1e-3);
    }
}

INSTANTIATE_TEST_SUITE_P(RowLengths, WeightingSpectrum, ::testing::Values(1, 2, 5, 100, 460, 461, 512, 1000));

struct RowCase {
    int nx;
    float offset, spread;
};

void PrintTo(const RowCase& c, std::ostream* os) { *os << "nx " << c.nx << " offset " << c.offset << " spread " << c.spread; }

class WeightingRows : public Weighting, public ::testing::WithParamInterface<RowCase> {};

TEST_P(WeightingRows, MatchCircularConvolutionOfMeanPaddedRow) {
    const RowCase c = GetParam();
    weighting_setup(c.nx, 3);
    const int n = weighting_fft_size();
    const std::vector<double> kernel = reference_tapered_kernel(c.nx, n);
    // Each FFT pass adds about eps * log2(N) of the largest sample; the
    // product with the spectrum and the 1/N scaling one eps more each.
    const double max_abs = std::fabs(c.offset) + c.spread;
    const double tol = float_eps * (2 * std::log2((double)n) + 2) * max_abs;
    for (unsigned seed = 1; seed <= 3; ++seed) {
        std::vector<float> row = random_row(c.nx, c.offset, c.spread, seed);
        const std::vector<double> want = reference_filter_row(row, kernel);
        weighting_filter_row(c.nx, row.data());
        double worst = 0;
        for (int i = 0; i < c.nx; ++i) worst = std::max(worst, std::fabs(row[(size_t)i] - want[(size_t)i]));
        EXPECT_LE(worst, tol) << "nx " << c.nx << " seed " << seed;
    }
}

INSTANTIATE_TEST_SUITE_P(RowLengths, WeightingRows,
                         ::testing::Values(RowCase{1, 2.0f, 1.0f}, RowCase{7, 0.0f, 1.0f}, RowCase{100, 100.0f, 5.0f},
                                           RowCase{460, -3.0f, 10.0f}, RowCase{461, 250.0f, 5.0f},
                                           RowCase{512, 0.0f, 1000.0f}, RowCase{1000, 40.0f, 40.0f}));

TEST_F(Weighting, MeanPaddingIsNotZeroPadding) {
    // A row on a large offset: zero padding would put a step at both ends that
    // the ramp filter turns into large edge values.
    const int nx = 100;
    weighting_setup(nx, 1);
    std::vector<float> row = random_row(nx, 1000.0f, 1.0f, 7);
    weighting_filter_row(nx, row.data());
    for (int i = 0; i < nx; ++i) EXPECT_LT(std::fabs(row[(size_t)i]), 2.0f) << "sample " << i;
}

TEST_F(Weighting, FlatRowKeepsOnlyTheSpectrumsDcValue) {
    const int nx = 512;
    const float c = 3.5f;
    weighting_setup(nx, 61);
    const float dc = weighting_filter_spectrum()[0];
    EXPECT_NEAR(dc, 0.000198, 0.000002);
    EXPECT_NEAR(dc, reference_ramp_spectrum(nx, weighting_fft_size(), false)[0], 1e-6);
    std::vector<float> row((size_t)nx, c);
    weighting_filter_row(nx, row.data());
    for (int i = 0; i < nx; ++i) EXPECT_NEAR(row[(size_t)i], c * dc, 1e-6) << "sample " << i;
}

TEST_F(Weighting, SingleSampleRow) {
    weighting_setup(1, 1);
    ASSERT_EQ(weighting_fft_size(), 4);
    const float* s = weighting_filter_spectrum();
    const float want[8] = {0.25f, 0, 0.25f, 0, 0.25f * 0.0064f, 0, 0.25f, 0};
    for (int i = 0; i < 8; ++i) EXPECT_NEAR(s[i], want[i], 1e-8) << "element " << i / 2;
    float row = 2.0f;
    weighting_filter_row(1, &row);
    EXPECT_FLOAT_EQ(row, 0.5f);
}

TEST_F(Weighting, RowsAreFilteredIndependentlyOfEachOtherAndOfOrder) {
    const int nx = 100, ny = 9;
    std::vector<float> values;
    for (int y = 0; y < ny; ++y) {
        const std::vector<float> row = random_row(nx, 10.0f * (float)y, 3.0f, 100u + (unsigned)y);
        values.insert(values.end(), row.begin(), row.end());
    }
    weighting_setup(nx, ny);
    SinogramView whole(nx, ny, values);
    weighting_apply(&whole.image);

    // Rows filtered one at a time, last first, in a block nobody else touches.
    std::vector<float> single = values;
    for (int y = ny - 1; y >= 0; --y) {
        std::vector<float> before = single;
        weighting_filter_row(nx, single.data() + (size_t)y * nx);
        for (size_t i = 0; i < single.size(); ++i) {
            if (i / nx == (size_t)y) continue;
            ASSERT_EQ(single[i], before[i]) << "row " << y << " changed element " << i;
        }
    }
    EXPECT_EQ(std::memcmp(whole.samples.data(), single.data(), single.size() * sizeof(float)), 0);
}

TEST_F(Weighting, SetupAgainAndTeardownLeaveNoFilter) {
    weighting_setup(100, 1);
    EXPECT_EQ(weighting_fft_size(), 256);
    weighting_setup(512, 1);
    EXPECT_EQ(weighting_fft_size(), 2048);
    weighting_teardown();
    EXPECT_EQ(weighting_fft_size(), 0);
    EXPECT_EQ(weighting_filter_spectrum(), nullptr);
}

TEST(WeightingErrors, ReportAndExit) {
    struct Case {
        const char* what;
        std::function<void()> run;
        const char* message;
    };
    const Case cases[] = {
        {"transform too long", [] { weighting_setup(1 << 29, 1); }, "Unable to allocate memory for FFTs\n"},
        {"row longer than filter",
         [] {
             weighting_setup(4, 1);
             float row[5] = {};
             weighting_filter_row(5, row);
         },
         "weighting_filter_row: row of 5 samples, filter built for 4\n"},
        {"row before set-up",
         [] {
             float row[1] = {};
             weighting_filter_row(1, row);
         },
         "weighting_filter_row: weighting filter is not set up\n"},
    };
    for (const Case& c : cases) {
        const Captured got = capture_exit(c.run);
        EXPECT_EQ(got.status, 255) << c.what;
        EXPECT_EQ(got.err, c.message) << c.what;
        EXPECT_EQ(got.out, "") << c.what;
    }
}
