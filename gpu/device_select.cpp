#include "gpu/device_select.h"

#include <cstdio>
#include <cstdlib>

#include "io/fail.h"

namespace {

// The product is formed in 32-bit signed arithmetic, wrapping like the device
// runtime's own int products would; C++20 makes the conversion well defined.
int32_t device_speed(const DeviceProps& p) {
    return (int32_t)((uint32_t)p.multiProcessorCount * (uint32_t)p.clockRate);
}

// One entry of the architecture list: its capability and which images it holds.
struct ArchEntry {
    int major = 0, minor = 0;
    bool real = true, ptx = true, exact = false, known = false;
};

ArchEntry parse_arch(const std::string& text) {
    ArchEntry e;
    size_t i = 0;
    int number = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && number < 100000) number = number * 10 + (text[i++] - '0');
    if (i == 0) return e;
    e.known = true;
    e.major = number / 10;
    e.minor = number % 10;
    if (i < text.size() && text[i] == 'a') e.exact = true;
    if (i < text.size() && text[i] != '-') ++i;  // "a" or "f" suffix
    const std::string kind = text.substr(i);
    if (kind == "-real") e.ptx = false;
    if (kind == "-virtual") e.real = false;
    return e;
}

bool arch_runs_on(const ArchEntry& e, int major, int minor) {
    if (!e.known) return true;
    if (e.exact) return major == e.major && minor == e.minor;
    if (e.real && major == e.major && minor >= e.minor) return true;
    return e.ptx && (major > e.major || (major == e.major && minor >= e.minor));
}

}  // namespace

bool cuda_archs_run_on(const char* archs, int major, int minor) {
    const std::string list = archs ? archs : "";
    if (list.find_first_not_of(" ;,") == std::string::npos) return true;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find_first_of(";,", start);
        if (end == std::string::npos) end = list.size();
        const std::string entry = list.substr(start, end - start);
        if (!entry.empty() && arch_runs_on(parse_arch(entry), major, minor)) return true;
        start = end + 1;
    }
    return false;
}

DeviceChoice device_choose(const std::vector<DeviceProps>& devices, int requested, const char* archs) {
    const int n = (int)devices.size();
    if (n == 0) return {-1, DEVICE_CHOICE_NO_DEVICE};
    int d = requested;
    if (d < 0) {
        d = 0;
        int32_t best = device_speed(devices[0]);
        for (int k = 1; k < n; ++k) {
            const int32_t speed = device_speed(devices[k]);
            if (speed > best) {
                d = k;
                best = speed;
            }
        }
    }
    if (d >= n) d = n - 1;
    if (devices[d].major < 1) return {d, DEVICE_CHOICE_NOT_SUPPORTED};
    if (archs && !cuda_archs_run_on(archs, devices[d].major, devices[d].minor)) return {d, DEVICE_CHOICE_NO_KERNEL_IMAGE};
    return {d, DEVICE_CHOICE_OK};
}

float device_memory_mb(uint64_t bytes) { return (float)((double)bytes * 9.5367431640625e-7); }

void device_report(const DeviceChoice& choice, const std::vector<DeviceProps>& devices, const char* archs,
                   bool print_device_line) {
    if (choice.error == DEVICE_CHOICE_NO_DEVICE) {
        fail_status(1, "cutil error: no devices supporting CUDA.\n");
    }
    if (choice.error == DEVICE_CHOICE_NOT_SUPPORTED) {
        fail_status(1, "cutil error: device does not support CUDA.\n");
    }
    if (choice.error == DEVICE_CHOICE_NO_KERNEL_IMAGE) {
        const DeviceProps& p = devices[choice.index];
        fail_status(1,
                    "cutil error: device %d (%s, compute capability %d.%d) cannot run this program, "
                    "built for CUDA architectures %s.\n",
                    choice.index, p.name.c_str(), p.major, p.minor, archs ? archs : "");
    }
    if (print_device_line) fprintf(stderr, "Using device %d: %s\n\n", choice.index, devices[choice.index].name.c_str());
}
