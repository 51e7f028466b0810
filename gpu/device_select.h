#pragma once
// Choice of the device a run uses, as a pure function over the devices' properties,
// and the messages that report it.
#include <cstdint>
#include <string>
#include <vector>

// The properties the choice looks at, as the CUDA runtime reports them (the host
// device fills the same fields).
struct DeviceProps {
    std::string name;
    uint64_t totalGlobalMem = 0;  // bytes
    int clockRate = 0;            // kHz
    int multiProcessorCount = 0;
    int major = 0;                // compute capability; < 1: not usable
    int minor = 0;
};

enum DeviceChoiceError {
    DEVICE_CHOICE_OK = 0,
    DEVICE_CHOICE_NO_DEVICE,
    DEVICE_CHOICE_NOT_SUPPORTED,
    DEVICE_CHOICE_NO_KERNEL_IMAGE,
};

// Whether a binary holding kernels for the CUDA architectures `archs` (CMake's list,
// e.g. "80-real;90-real;90-virtual"; a bare number means both) runs on a device of
// compute capability major.minor. Machine code runs on its own major version at an
// equal or higher minor; PTX is compiled at load time for an equal or higher
// capability; an "a" suffix ties either to its exact capability. An empty list or an
// entry that names no number ("native", "all") is taken to fit every device.
bool cuda_archs_run_on(const char* archs, int major, int minor);

struct DeviceChoice {
    int index;  // chosen device; -1 when there is none
    DeviceChoiceError error;
};

// requested < 0: the device with the largest multiProcessorCount x clockRate (a 32-bit
// signed product), the lower index on ties; a number past the last device selects the
// last one. The chosen device must have major >= 1 and, when `archs` is given, a
// kernel image among them.
DeviceChoice device_choose(const std::vector<DeviceProps>& devices, int requested, const char* archs = nullptr);

// totalGlobalMem in Mb (bytes / 1048576, rounded to single precision).
float device_memory_mb(uint64_t bytes);

// Reports a choice: throws the "cutil error" messages (RunError, status 1) on
// an error (or the missing kernel image, naming `archs`), otherwise (when
// print_device_line) the line "Using device <d>: <name>" and an empty line.
void device_report(const DeviceChoice& choice, const std::vector<DeviceProps>& devices, const char* archs = "",
                   bool print_device_line = true);
