// Device choice on synthetic device lists, its messages and exit statuses, and the
// host device a machine without a GPU runs on.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "gpu/device_select.h"
#include "gpu/gpu_layer.h"
#include "support/capture.h"

namespace {

DeviceProps device(const char* name, int mps, int clock_khz, int major = 7, int minor = 0) {
    DeviceProps p;
    p.name = name;
    p.totalGlobalMem = uint64_t(1) << 32;
    p.clockRate = clock_khz;
    p.multiProcessorCount = mps;
    p.major = major;
    p.minor = minor;
    return p;
}

struct ChoiceCase {
    const char* what;
    std::vector<DeviceProps> devices;
    int requested;
    int index;
    DeviceChoiceError error;
    const char* archs = nullptr;  // the build's CUDA architectures; null: any device
};

// The model name as /proc/cpuinfo states it, read independently of the layer.
std::string cpuinfo_model_name() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    const std::string key = "model name";
    while (std::getline(in, line)) {
        if (line.compare(0, key.size(), key) != 0) continue;
        const size_t colon = line.find(": ");
        if (colon != std::string::npos) return line.substr(colon + 2);
    }
    return "";
}

bool path_exists(const char* path) {
    struct stat st;
    return stat(path, &st) == 0;
}

}  // namespace

TEST(DeviceChoice, Table) {
    const DeviceProps fast = device("A", 30, 1296000), slow = device("B", 16, 1400000);
    const ChoiceCase cases[] = {
        {"automatic: 30 x 1296000 beats 16 x 1400000", {fast, slow}, -1, 0, DEVICE_CHOICE_OK},
        {"any negative number is automatic", {fast, slow}, -42, 0, DEVICE_CHOICE_OK},
        {"the faster device later in the list", {slow, fast}, -1, 1, DEVICE_CHOICE_OK},
        {"best of three in the middle", {slow, fast, device("C", 8, 1500000)}, -1, 1, DEVICE_CHOICE_OK},
        {"equal products keep the lower index", {device("A", 10, 1000), device("B", 20, 500)}, -1, 0,
         DEVICE_CHOICE_OK},
        {"equal products among three", {device("A", 1, 5), device("B", 20, 500), device("C", 10, 1000)}, -1, 1,
         DEVICE_CHOICE_OK},
        {"a requested device is taken as is", {fast, slow}, 1, 1, DEVICE_CHOICE_OK},
        {"device 0 requested although slower", {slow, fast}, 0, 0, DEVICE_CHOICE_OK},
        {"-g5 with two devices selects the last", {fast, slow}, 5, 1, DEVICE_CHOICE_OK},
        {"-g3 with one device", {slow}, 3, 0, DEVICE_CHOICE_OK},
        {"one device, automatic", {slow}, -1, 0, DEVICE_CHOICE_OK},
        // 2000 x 2000000 wraps to -294967296 in 32 bits; 3000 x 2000000 to 1705032704.
        {"product wraps negative", {slow, device("W", 2000, 2000000)}, -1, 0, DEVICE_CHOICE_OK},
        {"product wraps to a large positive", {slow, device("W", 3000, 2000000)}, -1, 1, DEVICE_CHOICE_OK},
        {"no device", {}, -1, -1, DEVICE_CHOICE_NO_DEVICE},
        {"no device, one requested", {}, 2, -1, DEVICE_CHOICE_NO_DEVICE},
        {"chosen device has major 0", {slow, device("Old", 99, 1400000, 0)}, -1, 1, DEVICE_CHOICE_NOT_SUPPORTED},
        {"clamped onto a device with major 0", {fast, device("Old", 1, 1, 0)}, 9, 1, DEVICE_CHOICE_NOT_SUPPORTED},
        {"a usable device beside one with major 0", {device("Old", 99, 1400000, 0), slow}, 1, 1,
         DEVICE_CHOICE_OK},
        {"an 8.6 device with 9.0 images only", {device("A10", 72, 1695000, 8, 6)}, -1, 0,
         DEVICE_CHOICE_NO_KERNEL_IMAGE, "90-real,90-virtual"},
        {"a 12.0 device runs 9.0 PTX", {device("B", 84, 2000000, 12, 0)}, 0, 0, DEVICE_CHOICE_OK, "80-real,90"},
        {"the faster device is checked", {device("A100", 108, 1410000, 8, 0), slow}, -1, 0,
         DEVICE_CHOICE_NO_KERNEL_IMAGE, "90-real"},
    };
    for (const ChoiceCase& c : cases) {
        const DeviceChoice got = device_choose(c.devices, c.requested, c.archs);
        EXPECT_EQ(got.index, c.index) << c.what;
        EXPECT_EQ(got.error, c.error) << c.what;
    }
}

TEST(DeviceChoice, MemoryInMb) {
    struct Case {
        uint64_t bytes;
        float mb;
    };
    const Case cases[] = {
        {4294967296ull, 4096.0f},
        {0, 0.0f},
        {1048576ull * 80 + 524288, 80.5f},
        {85899345920ull, 81920.0f},
        {17179869183ull, 16384.0f},  // 16383.999999 rounds up in single precision
        {1, 9.5367431640625e-7f},
    };
    for (const Case& c : cases) EXPECT_EQ(device_memory_mb(c.bytes), c.mb) << c.bytes << " bytes";
}

TEST(DeviceReport, MessagesAndExitStatuses) {
    const std::vector<DeviceProps> two = {device("First GPU", 30, 1296000), device("Second GPU", 16, 1400000)};
    const Captured line = capture_exit([&] { device_report(device_choose(two, 5), two); });
    EXPECT_EQ(line.status, 0);
    EXPECT_EQ(line.err, "Using device 1: Second GPU\n\n");
    EXPECT_EQ(line.out, "");

    const std::vector<DeviceProps> none;
    const Captured no_device = capture_exit([&] { device_report(device_choose(none, -1), none); });
    EXPECT_EQ(no_device.status, 1);
    EXPECT_EQ(no_device.err, "cutil error: no devices supporting CUDA.\n");

    const std::vector<DeviceProps> old = {device("Old", 4, 1000, 0)};
    const Captured unsupported = capture_exit([&] { device_report(device_choose(old, -1), old); });
    EXPECT_EQ(unsupported.status, 1);
    EXPECT_EQ(unsupported.err, "cutil error: device does not support CUDA.\n");

    const std::vector<DeviceProps> a100 = {device("NVIDIA A100", 108, 1410000, 8, 0)};
    const Captured no_image = capture_exit([&] { device_report(device_choose(a100, -1, "90-real"), a100, "90-real"); });
    EXPECT_EQ(no_image.status, 1);
    EXPECT_EQ(no_image.err, "cutil error: device 0 (NVIDIA A100, compute capability 8.0) cannot run this program, "
                            "built for CUDA architectures 90-real.\n");
}

// With CUDA hidden the host is the device: its line names the CPU model and
// gpu_memory_mb is the memory still available (MemAvailable, which moves while tests run).
TEST(HostDevice, SelectedWhenCudaIsHidden) {
    const std::string model = cpuinfo_model_name();
    if (model.empty()) GTEST_SKIP() << "no model name in /proc/cpuinfo";
    double available_kib = 0;
    FILE* meminfo = fopen("/proc/meminfo", "r");
    char line[256];
    while (meminfo && fgets(line, sizeof line, meminfo)) sscanf(line, "MemAvailable: %lf", &available_kib);
    if (meminfo) fclose(meminfo);
    for (const int requested : {-1, 0, 7}) {
        const Captured c = capture_exit([&] {
            setenv("CUDA_VISIBLE_DEVICES", "", 1);
            gpu_select_device(requested);
            printf("%.3f %d", (double)gpu_memory_mb, (int)gpu_backend());
        });
        EXPECT_EQ(c.status, 0) << "-g" << requested;
        EXPECT_EQ(c.err, "Using device 0: " + model + "\n\n") << "-g" << requested;
        EXPECT_NEAR(std::atof(c.out.c_str()), available_kib / 1024.0, available_kib / 1024.0 * 0.25);
        EXPECT_TRUE(c.out.ends_with(" 0")) << c.out;
    }
}

// Without the NVIDIA driver the CUDA runtime finds nothing and the host is used
// instead of ending the run.
TEST(HostDevice, SelectedWithoutADriver) {
    if (path_exists("/dev/nvidiactl") || path_exists("/proc/driver/nvidia/version"))
        GTEST_SKIP() << "an NVIDIA driver is installed";
    const Captured c = capture_exit([] {
        unsetenv("CUDA_VISIBLE_DEVICES");
        gpu_select_device(-1);
    });
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.err, "Using device 0: " + cpuinfo_model_name() + "\n\n");
    EXPECT_FALSE(gpu_cuda_available());
}
