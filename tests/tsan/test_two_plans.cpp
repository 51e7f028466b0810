// Two plans set up and run on two threads at once under ThreadSanitizer (they
// share only FFTW's planner and its lock) give the slices each gives alone.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "method/method.h"
#include "support/tilts.h"

namespace {

struct Job {
    MethodOptions options;
    int width, thickness, slices;
    std::vector<float> degrees;
};

std::vector<float> run_job(const Job& j) {
    const std::vector<a> tilts = tilt_records(j.degrees);
    const Geometry g = make_geometry(j.width, (int)tilts.size(), j.width, j.thickness);
    MethodPlan plan = plan_method(j.options, g, tilts.data(), GpuDevice{});
    std::mt19937 rng(j.width);
    std::uniform_real_distribution<float> sample(0.0f, 10.0f);
    std::vector<float> sinos((size_t)j.width * tilts.size() * j.slices);
    for (float& v : sinos) v = sample(rng);
    std::vector<float> slices((size_t)j.width * j.thickness * j.slices);
    execute_weighting(plan, sinos.data(), j.slices);
    execute_products(plan, sinos.data(), slices.data(), j.slices);
    return slices;
}

MethodOptions with_sirt_like(MethodOptions o, int n) {
    o.sirt_like = n;
    return o;
}

bool same_bits(const std::vector<float>& x, const std::vector<float>& y) {
    return x.size() == y.size() && std::memcmp(x.data(), y.data(), x.size() * sizeof(float)) == 0;
}

}  // namespace

TEST(TwoPlans, SetUpAndExecutedOnTwoThreadsAtOnce) {
    const Job jobs[][2] = {
        {{method_options(false, 2, 0), 24, 10, 3, {-40, -10, 20, 50}},
         {with_sirt_like(method_options(false, 1, 0), 3), 40, 18, 2, {-60, -30, 0, 30, 60}}},
        {{method_options(true, 0, 3), 20, 8, 2, {-45, 0, 45}},
         {method_options(false, 0, 0), 36, 12, 4, {-50, -20, 10, 40, 70}}},
    };
    for (const auto& pair : jobs) {
        const std::vector<float> alone[2] = {run_job(pair[0]), run_job(pair[1])};
        std::vector<float> together[2];
        std::thread t0([&] { together[0] = run_job(pair[0]); }), t1([&] { together[1] = run_job(pair[1]); });
        t0.join();
        t1.join();
        for (int k : {0, 1}) EXPECT_TRUE(same_bits(alone[k], together[k])) << k;
    }
}
