#pragma once
// Owners of device memory and streams: freed by whoever holds them, however the
// holder ends (a set-up that throws half way included); moved, never copied.
#include <cstddef>
#include <utility>

#include "gpu/gpu_layer.h"

template <class T>
class DeviceArray {
  public:
    DeviceArray() = default;
    // n elements on the calling thread's device, freed on the same backend.
    static DeviceArray take(size_t n, const char* file, int line) {
        DeviceArray d;
        d.backend_ = gpu_backend();
        d.p_ = static_cast<T*>(gpu_alloc_at(n * sizeof(T), file, line));
        return d;
    }
    DeviceArray(DeviceArray&& o) noexcept : p_(std::exchange(o.p_, nullptr)), backend_(o.backend_) {}
    DeviceArray& operator=(DeviceArray&& o) noexcept {
        if (this != &o) {
            reset();
            p_ = std::exchange(o.p_, nullptr);
            backend_ = o.backend_;
        }
        return *this;
    }
    DeviceArray(const DeviceArray&) = delete;
    DeviceArray& operator=(const DeviceArray&) = delete;
    ~DeviceArray() { reset(); }

    void reset() {
        if (p_) gpu_free_on(backend_, std::exchange(p_, nullptr));
    }
    T* get() const { return p_; }
    // Kernels take their buffers as plain pointers.
    operator T*() const { return p_; }

  private:
    T* p_ = nullptr;
    GpuBackend backend_ = GPU_BACKEND_HOST;
};

#define gpu_array(T, n) DeviceArray<T>::take((size_t)(n), __FILE__, __LINE__)

// A side stream, destroyed (after its queued work) with its owner.
class StreamOwner {
  public:
    StreamOwner() = default;
    explicit StreamOwner(GpuStream s) : s_(s) {}
    StreamOwner(StreamOwner&& o) noexcept : s_(std::exchange(o.s_, GPU_STREAM_DEFAULT)) {}
    StreamOwner& operator=(StreamOwner&& o) noexcept {
        if (this != &o) {
            gpu_stream_destroy(s_);
            s_ = std::exchange(o.s_, GPU_STREAM_DEFAULT);
        }
        return *this;
    }
    StreamOwner(const StreamOwner&) = delete;
    StreamOwner& operator=(const StreamOwner&) = delete;
    ~StreamOwner() { gpu_stream_destroy(s_); }
    GpuStream get() const { return s_; }

  private:
    GpuStream s_ = GPU_STREAM_DEFAULT;
};
