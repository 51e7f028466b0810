#pragma once
// Owners of host memory: zero-filled arrays of a set-up (HostArray), and the
// buffers that cross to the device every slice (HostFloats, page-locked where
// the device can have them). Moved, never copied; freed with their owner.
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <utility>

#include "io/host_array.h"


// n zero-filled elements, or null where the memory cannot be had (or a test's
// fault hook says so); null also for n = 0.
void* host_zeroed_try(size_t n, size_t size);
template <class T>
HostArray<T> host_array_try(size_t n) {
    return HostArray<T>(static_cast<T*>(host_zeroed_try(n, sizeof(T))));
}

class HostFloats {
  public:
    HostFloats() = default;
    // p is released by `release`, which knows how it was taken.
    HostFloats(float* p, void (*release)(void*)) : p_(p), release_(release) {}
    HostFloats(HostFloats&& o) noexcept : p_(std::exchange(o.p_, nullptr)), release_(o.release_) {}
    HostFloats& operator=(HostFloats&& o) noexcept {
        if (this != &o) {
            reset();
            p_ = std::exchange(o.p_, nullptr);
            release_ = o.release_;
        }
        return *this;
    }
    HostFloats(const HostFloats&) = delete;
    HostFloats& operator=(const HostFloats&) = delete;
    ~HostFloats() { reset(); }
    void reset() {
        if (p_) release_(std::exchange(p_, nullptr));
    }
    float* get() const { return p_; }

  private:
    float* p_ = nullptr;
    void (*release_)(void*) = nullptr;
};
