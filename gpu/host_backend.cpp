// Host backend: device memory is host memory, launches run on OpenMP threads
// (the templates of gpu_layer.h), and the device is the machine's CPU.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "gpu/backend_ops.h"
#include "gpu/gpu_layer.h"
#include "gpu/host_limits.h"

namespace {

// Cache-line alignment, so that kernels over float buffers vectorise cleanly.
constexpr size_t kBufferAlignment = 64;

std::string trim(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    const size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

// Value of the first "key : value" line of /proc/cpuinfo whose key is `key`.
std::string cpuinfo_value(const char* key) {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        if (trim(line.substr(0, colon)) == key) return trim(line.substr(colon + 1));
    }
    return "";
}

// Large copies and fills are split over the threads: one core cannot saturate
// the memory bus of a multi-core machine.
constexpr size_t kParallelBytes = size_t(4) << 20;

template <class Op>
void over_chunks(size_t bytes, const Op& op) {
    if (bytes < kParallelBytes) {
        op(0, bytes);
        return;
    }
    const long long chunks = (long long)(bytes / kParallelBytes) + 1;
    const size_t chunk = (bytes / (size_t)chunks + kBufferAlignment - 1) / kBufferAlignment * kBufferAlignment;
#pragma omp parallel for schedule(static)
    for (long long c = 0; c < chunks; ++c) {
        const size_t lo = std::min(bytes, (size_t)c * chunk), hi = std::min(bytes, lo + chunk);
        if (hi > lo) op(lo, hi - lo);
    }
}

}  // namespace

std::string host_cpu_model_name() {
    std::string name = cpuinfo_value("model name");
    if (name.empty()) name = cpuinfo_value("Model");  // some ARM kernels
    if (name.empty()) name = "host CPU";
    return name;
}

uint64_t host_physical_memory_bytes() {
    const long pages = sysconf(_SC_PHYS_PAGES), page_size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0) return 0;
    return (uint64_t)pages * (uint64_t)page_size;
}

uint64_t host_available_memory_bytes() { return process_memory_room().bytes; }

DeviceProps host_device_props() {
    DeviceProps p;
    p.name = host_cpu_model_name();
    p.totalGlobalMem = host_physical_memory_bytes();
    const std::string mhz = cpuinfo_value("cpu MHz");
    p.clockRate = mhz.empty() ? 0 : (int)(std::atof(mhz.c_str()) * 1000.0);
    const unsigned threads = std::thread::hardware_concurrency();
    p.multiProcessorCount = threads > 0 ? (int)threads : 1;
    p.major = 1;
    return p;
}

// Large buffers are mostly sparse matrices, which the products read in runs
// that jump a whole stride from one entry to the next, touching a new page at
// every jump: huge pages spare most of the page walks. Buffers from 256 kB up
// are mapped on their own, start in a 2 MiB-aligned page and ask for huge
// pages before their first touch (only a hint); the kernel then hands out one
// zeroed page per 2 MiB instead of a fault per 4 kB.
constexpr size_t kHugePage = (size_t)2 << 20;
constexpr size_t kMappedBytes = (size_t)256 << 10;

// Every buffer is zero-filled when it is handed out, as fresh mappings are
// without any pass over them: the matrix builds then write only their entries.
// A header in front of the buffer says how it was taken.
struct BufferHeader {
    void* base;     // start of the mapping or of the heap block
    size_t mapped;  // length of the mapping; 0 for a heap block
};
constexpr size_t kHeaderBytes = kBufferAlignment;
static_assert(sizeof(BufferHeader) <= kHeaderBytes);

static BufferHeader* header_of(void* p) { return reinterpret_cast<BufferHeader*>(static_cast<char*>(p) - kHeaderBytes); }

static void* mapped_buffer(size_t bytes) {
    // Whole huge pages for the header and the buffer, and room to move their
    // start up to a 2 MiB boundary.
    const size_t pages = (bytes + kHeaderBytes + kHugePage - 1) / kHugePage * kHugePage;
    const size_t mapped = pages + kHugePage;
    void* base = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return nullptr;
#if defined(MADV_HUGEPAGE)
    (void)madvise(base, mapped, MADV_HUGEPAGE);
#endif
    const uintptr_t start = ((uintptr_t)base + kHugePage - 1) / kHugePage * kHugePage;
    void* p = reinterpret_cast<void*>(start + kHeaderBytes);
    *header_of(p) = {base, mapped};
    return p;
}

static void* heap_buffer(size_t bytes) {
    const size_t rounded = (bytes + kBufferAlignment - 1) / kBufferAlignment * kBufferAlignment;
    void* base = std::aligned_alloc(kBufferAlignment, kHeaderBytes + rounded);
    if (!base) return nullptr;
    std::memset(base, 0, kHeaderBytes + rounded);
    void* p = static_cast<char*>(base) + kHeaderBytes;
    *header_of(p) = {base, 0};
    return p;
}

void* host_buffer_try_alloc(size_t bytes) {
    if (bytes == 0) return nullptr;
    // Like a GPU, the host device refuses a buffer larger than its whole memory
    // rather than leaving it to overcommit.
    const uint64_t memory = host_physical_memory_bytes();
    if (memory != 0 && (uint64_t)bytes > memory) return nullptr;
#if defined(__SANITIZE_ADDRESS__)
    return heap_buffer(bytes);  // where the sanitizer watches its bounds
#else
    return bytes >= kMappedBytes ? mapped_buffer(bytes) : heap_buffer(bytes);
#endif
}

void* host_buffer_alloc(size_t bytes, const char* file, int line) {
    void* p = host_buffer_try_alloc(bytes);
    if (!p && bytes > 0) gpu_safe_call_fail(file, line, "out of memory");
    return p;
}

void host_buffer_free(void* p) {
    if (!p) return;
    const BufferHeader h = *header_of(p);
    if (h.mapped) munmap(h.base, h.mapped);
    else std::free(h.base);
}

void host_buffer_copy(void* dst, const void* src, size_t bytes) {
    if (bytes == 0) return;
    over_chunks(bytes, [&](size_t at, size_t n) {
        std::memcpy(static_cast<char*>(dst) + at, static_cast<const char*>(src) + at, n);
    });
}

void host_buffer_zero(void* dst, size_t bytes) {
    if (bytes == 0) return;
    over_chunks(bytes, [&](size_t at, size_t n) { std::memset(static_cast<char*>(dst) + at, 0, n); });
}

namespace {

// The host has one device, the machine: chosen and reported by gpu_select_device.
bool host_present(bool, int* count) {
    *count = 1;
    return true;
}
CudaSelection host_select(int, int, bool) { return {0, host_available_memory_bytes()}; }
void host_bind_thread(int) {}
void host_copy(void* dst, const void* src, size_t bytes, const char*, int) { host_buffer_copy(dst, src, bytes); }
void host_zero(void* dst, size_t bytes, const char*, int) { host_buffer_zero(dst, bytes); }
void host_zero_new(void*, size_t, const char*, int) {}
// Host launches return when every item has run: nothing to wait for.
void host_synchronize(const char*, int) {}
void host_copy_async(void* dst, const void* src, size_t bytes, GpuStream, const char*, int) {
    host_buffer_copy(dst, src, bytes);
}
void host_zero_async(void* dst, size_t bytes, GpuStream, const char*, int) { host_buffer_zero(dst, bytes); }
void host_stream_synchronize(GpuStream, const char*, int) {}
GpuStream host_stream_create(const char*, int) { return GPU_STREAM_DEFAULT; }
void host_stream_destroy(GpuStream) {}
void* host_no_pinned(size_t) { return nullptr; }
void host_pinned_free(void*) {}
size_t host_free_memory() { return (size_t)host_available_memory_bytes(); }

}  // namespace

const GpuBackendOps& host_backend_ops() {
    static const GpuBackendOps ops{host_present,     host_select,     host_bind_thread,      host_buffer_alloc,
                                   host_buffer_free, host_copy,       host_copy,             host_zero,
                                   host_zero_new,    host_synchronize, host_copy_async,      host_copy_async,
                                   host_zero_async,  host_stream_synchronize, host_stream_create,
                                   host_stream_destroy, host_no_pinned,   host_pinned_free,      host_free_memory};
    return ops;
}
