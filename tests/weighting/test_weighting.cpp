// The ramp filter checked against an independent double-precision evaluation:
// the spectrum by a direct DFT of the spatial kernel, the filtered rows by a
// direct circular convolution of the mean-padded row with the tapered kernel.
#include "support/common.h"

#include "io/image.h"
#include "weighting/weighting.h"
#include "weighting/weighting_reference.h"

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

}  // namespace

TEST(WeightingFftSize, FollowsTheTransformLengthRule) {
    const int cases[][2] = {{1, 4},       {3, 8},       {460, 1024}, {461, 2048}, {1843, 4096},
                            {1844, 8192}, {(1 << 28) + 1, 1 << 30},  {1 << 29, 0}, {std::numeric_limits<int>::max(), 0}};
    for (const auto& c : cases) EXPECT_EQ(weighting_choose_fft_size(c[0]), c[1]) << "nx " << c[0];
    for (int p = 1; p <= 1 << 27; p *= 2) EXPECT_EQ(weighting_choose_fft_size(p), 4 * p) << "nx " << p;
}

TEST(Weighting, SpectrumMatchesADirectDftOfTheTaperedRampKernel) {
    for (int nx : {1, 5, 100, 461}) {
        const WeightingFilterHandle f = weighting_setup(nx, 61);
        const int n = weighting_fft_size(*f);
        ASSERT_EQ(n, weighting_choose_fft_size(nx));
        const float* s = weighting_filter_spectrum(*f);
        const std::vector<double> tapered = reference_ramp_spectrum(nx, n, true);
        const std::vector<double> plain = reference_ramp_spectrum(nx, n, false);
        // Single-precision FFT round-off: about eps * log2(N) times the kernel's
        // l1 norm, which stays below 0.5 for this kernel.
        double worst = 0;
        for (int k = 0; k < n; ++k)
            worst = std::max({worst, std::fabs(s[2 * k] - tapered[(size_t)k]), std::fabs((double)s[2 * k + 1])});
        EXPECT_LE(worst, float_eps * std::log2((double)n) * 0.5) << "N " << n;
        // The taper: 1 up to N/4 and from 3N/4, 0.08 squared at N/2.
        EXPECT_NEAR(s[2 * (n / 2)] / plain[(size_t)(n / 2)], 0.0064, 1e-5);
        EXPECT_NEAR(s[2 * (n / 4)] / plain[(size_t)(n / 4)], 1.0, 1e-5);
        // Before the taper the spectrum is the ramp |f|, f in cycles per sample.
        if (nx >= 100) {
            EXPECT_NEAR(plain[(size_t)(n / 4)], 0.25, 1e-3);
        }
    }
}

struct RowCase {
    int nx;
    float offset, spread;
};

// Also where the offset dwarfs the spread: zero padding instead of mean padding
// would put a step at both ends that the ramp filter turns into large values.
TEST(Weighting, RowsMatchCircularConvolutionOfTheMeanPaddedRow) {
    for (const RowCase& c : {RowCase{1, 2.0f, 1.0f}, RowCase{7, 0.0f, 1.0f}, RowCase{100, 1000.0f, 1.0f},
                             RowCase{461, 250.0f, 5.0f}, RowCase{512, 0.0f, 1000.0f}}) {
        const WeightingFilterHandle f = weighting_setup(c.nx, 3);
        const int n = weighting_fft_size(*f);
        const std::vector<double> kernel = reference_tapered_kernel(c.nx, n);
        // Each FFT pass adds about eps * log2(N) of the largest sample; the
        // product with the spectrum and the 1/N scaling one eps more each.
        const double tol = float_eps * (2 * std::log2((double)n) + 2) * (std::fabs(c.offset) + c.spread);
        for (unsigned seed = 1; seed <= 2; ++seed) {
            std::vector<float> row = random_row(c.nx, c.offset, c.spread, seed);
            const std::vector<double> want = reference_filter_row(row, kernel);
            weighting_filter_row(*f, c.nx, row.data());
            double worst = 0;
            for (int i = 0; i < c.nx; ++i) worst = std::max(worst, std::fabs(row[(size_t)i] - want[(size_t)i]));
            EXPECT_LE(worst, tol) << "nx " << c.nx << " seed " << seed;
        }
    }
}

// Two filters live side by side, each with its own transform length.
TEST(Weighting, ApplyFiltersEveryRowAloneWhileAnotherFilterLives) {
    const int nx = 100, ny = 9;
    Image* sino = image_new_zeroed(nx, ny);
    std::vector<float> single;
    for (int y = 0; y < ny; ++y) {
        const std::vector<float> row = random_row(nx, 10.0f * (float)y, 3.0f, 100u + (unsigned)y);
        std::copy(row.begin(), row.end(), sino->data[0][y]);
        single.insert(single.end(), row.begin(), row.end());
    }
    const WeightingFilterHandle other = weighting_setup(512, 1), f = weighting_setup(nx, ny);
    EXPECT_EQ(weighting_fft_size(*f), 256);
    EXPECT_EQ(weighting_fft_size(*other), 2048);
    weighting_apply(*f, sino);
    // Rows filtered one at a time, last first, give the same bytes.
    for (int y = ny - 1; y >= 0; --y) weighting_filter_row(*f, nx, single.data() + (size_t)y * nx);
    EXPECT_EQ(std::memcmp(sino->data[0][0], single.data(), single.size() * sizeof(float)), 0);
    image_free(sino);
}

// Per-tilt gains: row r of a batch of sinograms belongs to tilt r % ntilts, and
// is the mean-padded row convolved with the inverse DFT of that tilt's gains.
TEST(Weighting, PerTiltGainsFilterEachRowWithItsTiltsGains) {
    const int nx = 50, ntilts = 3, slices = 2;
    const int n = weighting_choose_fft_size(nx);
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(0.0f, 2.0f);
    std::vector<float> gains((size_t)ntilts * n);
    std::vector<std::vector<double>> kernels;
    const std::vector<double> c = cos_table(n);
    for (int t = 0; t < ntilts; ++t) {
        float* g = gains.data() + (size_t)t * n;
        for (int k = 0; k <= n / 2; ++k) g[k] = g[(n - k) % n] = u(rng);
        std::vector<double> h((size_t)n);
        for (int j = 0; j < n; ++j) {
            double sum = 0;
            for (int m = 0; m < n; ++m) sum += g[m] * c[(size_t)(((int64_t)m * j) % n)];
            h[(size_t)j] = sum / n;
        }
        kernels.push_back(h);
    }
    const WeightingFilterHandle f = weighting_setup_gains(nx, ntilts, gains);
    EXPECT_EQ(weighting_fft_size(*f), n);
    EXPECT_EQ(weighting_filter_spectrum(*f), nullptr);
    std::vector<float> rows;
    for (int r = 0; r < slices * ntilts; ++r) {
        const std::vector<float> row = random_row(nx, 20.0f, 5.0f, 300u + (unsigned)r);
        rows.insert(rows.end(), row.begin(), row.end());
    }
    const std::vector<float> original = rows;
    weighting_filter_rows(*f, nx, rows.data(), slices * ntilts);
    const double tol = float_eps * (2 * std::log2((double)n) + 2) * 25.0 * 2.0;
    for (int r = 0; r < slices * ntilts; ++r) {
        const std::vector<float> row(original.begin() + r * nx, original.begin() + (r + 1) * nx);
        const std::vector<double> want = reference_filter_row(row, kernels[(size_t)(r % ntilts)]);
        double worst = 0;
        for (int i = 0; i < nx; ++i) worst = std::max(worst, std::fabs(rows[(size_t)(r * nx + i)] - want[(size_t)i]));
        EXPECT_LE(worst, tol) << "row " << r;
    }
    // weighting_apply: sinogram row y is tilt y, as in the batch.
    Image* sino = image_new_zeroed(nx, ntilts);
    std::copy(original.begin(), original.begin() + ntilts * nx, sino->data[0][0]);
    weighting_apply(*f, sino);
    EXPECT_EQ(std::memcmp(sino->data[0][0], rows.data(), (size_t)ntilts * nx * sizeof(float)), 0);
    image_free(sino);
    EXPECT_NE(weighting_filter_spectrum(*weighting_setup(nx, ntilts)), nullptr);
}

TEST(WeightingErrors, ReportAndExit) {
    struct Case {
        std::function<void()> run;
        const char* message;
    };
    const Case cases[] = {
        {[] { weighting_setup(1 << 29, 1); }, "Unable to allocate memory for FFTs\n"},
        {[] { weighting_check_row_length(1 << 29); }, "Unable to allocate memory for FFTs\n"},
        {[] { weighting_filter_row(*weighting_setup(4, 1), 5, std::vector<float>(5).data()); },
         "weighting_filter_row: row of 5 samples, filter built for 4\n"},
        {[] { weighting_filter_rows(*weighting_setup(4, 1), 6, std::vector<float>(12).data(), 2); },
         "weighting_filter_rows: row of 6 samples, filter built for 4\n"},
        {[] { weighting_setup_gains(4, 2, std::vector<float>(16)); },
         "weighting_setup_gains: 16 gains for 2 tilts of 16 samples\n"},
        {[] { weighting_setup_gains(4, 0, {}); }, "weighting_setup_gains: 0 gains for 0 tilts of 16 samples\n"},
    };
    for (const Case& c : cases) {
        const Captured got = capture_exit(c.run);
        EXPECT_EQ(got.status, 255) << c.message;
        EXPECT_EQ(got.err, c.message);
    }
}
