// Device choice on synthetic device lists, its messages and exit statuses, and the
// host device a machine without a GPU runs on.
#include "support/common.h"
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "gpu/cuda_verdicts.h"
#include "gpu/device_select.h"
#include "gpu/gpu_layer.h"
#include "gpu/host_limits.h"

namespace {

DeviceProps device(const char* name, int mps, int clock_khz, int major = 7, int minor = 0) {
    return {name, uint64_t(1) << 32, clock_khz, mps, major, minor};
}

struct ChoiceCase {
    const char* what;
    std::vector<DeviceProps> devices;
    int requested, index;
    DeviceChoiceError error;
    const char* archs = nullptr;  // the build's CUDA architectures; null: any device
};

// The model name as /proc/cpuinfo states it, read independently of the layer.
std::string cpuinfo_model_name() {
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("model name", 0) == 0 && line.find(": ") != std::string::npos)
            return line.substr(line.find(": ") + 2);
    return "";
}

}  // namespace

TEST(DeviceChoice, Table) {
    const DeviceProps fast = device("A", 30, 1296000), slow = device("B", 16, 1400000);
    const DeviceChoiceError ok = DEVICE_CHOICE_OK;
    const ChoiceCase cases[] = {
        {"automatic: 30 x 1296000 beats 16 x 1400000", {fast, slow}, -1, 0, ok},
        {"any negative number is automatic", {fast, slow}, -42, 0, ok},
        {"best of three in the middle", {slow, fast, device("C", 8, 1500000)}, -1, 1, ok},
        {"equal products keep the lower index", {device("A", 1, 5), device("B", 20, 500), device("C", 10, 1000)},
         -1, 1, ok},
        {"device 0 requested although slower", {slow, fast}, 0, 0, ok},
        {"-g5 with two devices selects the last", {fast, slow}, 5, 1, ok},
        // 2000 x 2000000 wraps to -294967296 in 32 bits; 3000 x 2000000 to 1705032704.
        {"product wraps negative", {slow, device("W", 2000, 2000000)}, -1, 0, ok},
        {"product wraps to a large positive", {slow, device("W", 3000, 2000000)}, -1, 1, ok},
        {"no device", {}, 2, -1, DEVICE_CHOICE_NO_DEVICE},
        {"chosen device has major 0", {slow, device("Old", 99, 1400000, 0)}, -1, 1, DEVICE_CHOICE_NOT_SUPPORTED},
        {"clamped onto a device with major 0", {fast, device("Old", 1, 1, 0)}, 9, 1, DEVICE_CHOICE_NOT_SUPPORTED},
        {"a usable device beside one with major 0", {device("Old", 99, 1400000, 0), slow}, 1, 1, ok},
        {"an 8.6 device with 9.0 images only", {device("A10", 72, 1695000, 8, 6)}, -1, 0,
         DEVICE_CHOICE_NO_KERNEL_IMAGE, "90-real,90-virtual"},
        {"a 12.0 device runs 9.0 PTX", {device("B", 84, 2000000, 12, 0)}, 0, 0, ok, "80-real,90"},
        {"the faster device is checked", {device("A100", 108, 1410000, 8, 0), slow}, -1, 0,
         DEVICE_CHOICE_NO_KERNEL_IMAGE, "90-real"},
    };
    for (const ChoiceCase& c : cases) {
        const DeviceChoice got = device_choose(c.devices, c.requested, c.archs);
        EXPECT_EQ(got.index, c.index) << c.what;
        EXPECT_EQ(got.error, c.error) << c.what;
    }
    EXPECT_EQ(device_memory_mb(1048576ull * 80 + 524288), 80.5f);
    EXPECT_EQ(device_memory_mb(17179869183ull), 16384.0f);  // rounds up in single precision
}

TEST(DeviceReport, MessagesAndExitStatuses) {
    const std::vector<DeviceProps> two = {device("First GPU", 30, 1296000), device("Second GPU", 16, 1400000)};
    const std::vector<DeviceProps> none, old = {device("Old", 4, 1000, 0)};
    struct Case {
        const std::vector<DeviceProps>& devices;
        int requested, status;
        std::string err;
    };
    for (const Case& c : {Case{two, 5, 0, "Using device 1: Second GPU\n\n"},
                          Case{none, -1, 1, "cutil error: no devices supporting CUDA.\n"},
                          Case{old, -1, 1, "cutil error: device does not support CUDA.\n"}}) {
        const Captured r = capture_exit([&] { device_report(device_choose(c.devices, c.requested), c.devices); });
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
    const std::vector<DeviceProps> a100 = {device("NVIDIA A100", 108, 1410000, 8, 0)};
    const Captured no_image = capture_exit([&] { device_report(device_choose(a100, -1, "90-real"), a100, "90-real"); });
    EXPECT_EQ(no_image.status, 1);
    EXPECT_EQ(no_image.err, "cutil error: device 0 (NVIDIA A100, compute capability 8.0) cannot run this program, "
                            "built for CUDA architectures 90-real.\n");
}

// With CUDA hidden or no NVIDIA driver the host is the device, named by its CPU
// model, with the memory still available (which moves while tests run).
TEST(HostDevice, SelectedWithoutAUsableGpu) {
    const std::string model = cpuinfo_model_name();
    if (model.empty()) GTEST_SKIP() << "no model name in /proc/cpuinfo";
    const double available_mb = process_memory_room().bytes / 1048576.0;
    struct stat st;
    const bool driver = stat("/dev/nvidiactl", &st) == 0 || stat("/proc/driver/nvidia/version", &st) == 0;
    for (const int requested : {-1, 7, -2}) {
        if (requested == -2 && driver) continue;
        const Captured c = capture_exit([&] {
            if (requested == -2) unsetenv("CUDA_VISIBLE_DEVICES");
            else setenv("CUDA_VISIBLE_DEVICES", "", 1);
            const GpuDevice device = gpu_select_device(requested);
            printf("%.3f %d", (double)device.memory_mb, (int)gpu_backend());
        });
        EXPECT_EQ(c.status, 0) << "-g" << requested;
        EXPECT_EQ(c.err, "Using device 0: " + model + "\n\n") << "-g" << requested;
        EXPECT_NEAR(std::atof(c.out.c_str()), available_mb, available_mb * 0.25);
        EXPECT_TRUE(c.out.ends_with(" 0")) << c.out;
    }
}

// The decisions the CUDA path takes on runtime results and on the architectures a build holds.
TEST(CudaVerdicts, FallbackWarnings) {
    // The runtime's codes: 35 driver older than the runtime, 34 stub library, 3 initialisation, 100 no device.
    for (const auto& [code, gpu_present, warns] : {std::tuple{35, true, true}, {34, true, true}, {3, true, true},
                                                   {100, true, false}, {35, false, false}, {0, true, false}})
        EXPECT_EQ(cuda_fallback_warns(code, gpu_present), warns) << code << " " << gpu_present;
}

TEST(CudaVerdicts, ArchitecturesThatRunOnADevice) {
    const char* build = "80-real,86-real,89-real,90-real,90-virtual";
    const struct { const char* archs; int major, minor; bool runs; } cases[] = {
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
