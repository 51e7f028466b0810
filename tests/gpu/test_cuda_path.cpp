// The decisions the CUDA path takes on runtime results and on the architectures a
// build holds, and the per-sample ray-weight kernel against the row form it replaced.
#include "support/common.h"

#include "gpu/cuda_verdicts.h"
#include "gpu/device_select.h"
#include "sirt/sirt.h"
#include "sirt/sirt_kernel.h"
#include "support/tilts.h"

TEST(CudaVerdicts, LaunchErrorsAndFallbackWarnings) {
    // Codes as the CUDA runtime numbers them.
    const struct {
        int code;
        LaunchVerdict verdict;
    } launches[] = {
        {0, LAUNCH_RAN},
        {9, LAUNCH_FAILED},    // invalid configuration: the layer never launches a refused shape
        {209, LAUNCH_FAILED},  // no kernel image is available for the device
        {701, LAUNCH_FAILED},  // too many resources requested for launch
        {98, LAUNCH_FAILED},  {700, LAUNCH_FAILED}, {1, LAUNCH_FAILED},
    };
    for (const auto& c : launches) EXPECT_EQ(launch_verdict(c.code), c.verdict) << "code " << c.code;

    const struct {
        int code;
        bool gpu_present, warns;
    } fallbacks[] = {
        {35, true, true},    // driver older than the runtime
        {34, true, true},    // stub library instead of the driver
        {3, true, true},     // initialisation error
        {100, true, false},  // no device: nothing to warn about
        {35, false, false},  // no GPU on the machine
        {0, true, false},
    };
    for (const auto& c : fallbacks)
        EXPECT_EQ(cuda_fallback_warns(c.code, c.gpu_present), c.warns) << c.code << " " << c.gpu_present;
}

TEST(CudaVerdicts, ArchitecturesThatRunOnADevice) {
    const char* build = "80-real,86-real,89-real,90-real,90-virtual";
    const struct {
        const char* archs;
        int major, minor;
        bool runs;
    } cases[] = {
        {build, 8, 0, true},           {build, 8, 6, true},          {build, 8, 7, true},  // 86 code on 8.7
        {build, 8, 9, true},           {build, 9, 0, true},          {build, 10, 0, true},  // PTX
        {build, 12, 0, true},          {build, 7, 5, false},         {"90-real,90-virtual", 8, 6, false},
        {"90-real", 10, 0, false},     {"90-real", 9, 0, true},      {"86-real", 8, 0, false},
        {"90", 12, 1, true},           {"90-virtual", 8, 9, false},  {"90a-real", 9, 0, true},
        {"90a", 10, 0, false},         {"80-real;120-virtual", 10, 0, false},
        {"80-real;120-virtual", 12, 1, true}, {"native", 7, 0, true}, {"", 5, 2, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(cuda_archs_run_on(c.archs, c.major, c.minor), c.runs) << c.archs << " on " << c.major << "." << c.minor;
}

// Every sample of the per-sample kernel must hold the bits of the row form: the
// same contributions added in the same order, steep, flat and non-finite angles,
// detectors narrower and wider than the slice, odd and even thicknesses.
TEST(SirtRayWeights, PerSampleItemsMatchTheRowForm) {
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> angles = {-90.0f, -89.97f, -61.0f, -0.5f, 0.0f, 0.03f, 17.0f, 45.0f, 89.9f, 90.0f};
    const struct {
        int sinoX, reconsX, reconsY;
    } geometries[] = {{64, 64, 64}, {37, 50, 23}, {90, 41, 30}, {2, 9, 5}, {1, 6, 4}, {1201, 1300, 7}};
    for (const auto& g : geometries) {
        std::vector<a> tilts = tilt_records(angles);
        tilts.push_back(a{0, 0, nan, 0.5f, 0});
        tilts.push_back(a{0, 0, 0.5f, inf, 0});
        const int N = (int)tilts.size(), rows = sirt_half_rows(g.reconsY);
        const cu_SIRT_weights k{nullptr, tilts.data(), g.reconsX, rows, g.sinoX, N,
                                (g.reconsX - 1) * 0.5f, (g.sinoX - 1) * 0.5f, (g.reconsY - 1) * 0.5f, g.reconsY / 2};
        std::vector<float> row_form((size_t)g.sinoX * N, 0.25f), items = row_form;
        cu_SIRT_weights kr = k, ki = k;
        kr.d_weights = row_form.data();
        ki.d_weights = items.data();
        const LaunchShape shape = launch_shape_2d(g.sinoX, N);
        kr.host_run(shape);
        host_items_2d(shape, ki);
        int shown = 0;
        for (size_t e = 0; e < items.size(); ++e)
            if (std::memcmp(&items[e], &row_form[e], sizeof(float)) != 0 && shown++ < 5)
                ADD_FAILURE() << g.sinoX << "x" << g.reconsX << "x" << g.reconsY << " tilt " << e / g.sinoX
                              << " sample " << e % g.sinoX << ": " << items[e] << " vs " << row_form[e];
    }
}
