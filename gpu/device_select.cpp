#include "gpu/device_select.h"

#include <cstdio>
#include <cstdlib>

namespace {

// The product is formed in 32-bit signed arithmetic, wrapping like the device
// runtime's own int products would; C++20 makes the conversion well defined.
int32_t device_speed(const DeviceProps& p) {
    return (int32_t)((uint32_t)p.multiProcessorCount * (uint32_t)p.clockRate);
}

}  // namespace

DeviceChoice device_choose(const std::vector<DeviceProps>& devices, int requested) {
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
    return {d, DEVICE_CHOICE_OK};
}

float device_memory_mb(uint64_t bytes) { return (float)((double)bytes * 9.5367431640625e-7); }

void device_report(const DeviceChoice& choice, const std::vector<DeviceProps>& devices) {
    if (choice.error == DEVICE_CHOICE_NO_DEVICE) {
        fputs("cutil error: no devices supporting CUDA.\n", stderr);
        exit(1);
    }
    if (choice.error == DEVICE_CHOICE_NOT_SUPPORTED) {
        fputs("cutil error: device does not support CUDA.\n", stderr);
        exit(1);
    }
    fprintf(stderr, "Using device %d: %s\n\n", choice.index, devices[choice.index].name.c_str());
}
