#pragma once
// What this process may really take of the host: memory (the host's available
// memory, its cgroup's room, its address-space limits) and CPUs (the affinity
// mask capped by a cgroup CPU quota). The readers take the root under which
// /proc and /sys/fs/cgroup are found ("" for the real ones), so that tests can
// point them at trees of their own.
#include <cstdint>
#include <string>

// Which limit leaves the least memory.
enum class MemoryBound { host, cgroup, address_space };

struct MemoryRoom {
    uint64_t bytes = 0;
    MemoryBound bound = MemoryBound::host;
};

// "host", "cgroup limit" or "address-space limit".
const char* memory_bound_name(MemoryBound bound);

// Limit minus usage of the process's memory cgroup and of every cgroup above
// it, the smallest of them, in cgroup v2 (memory.max, memory.current) and v1
// (memory.limit_in_bytes, memory.usage_in_bytes); UINT64_MAX where no limit is
// set ("max", or files that cannot be read).
uint64_t cgroup_memory_room(const std::string& root);

// RLIMIT_AS less the process's mapped memory (VmSize) and RLIMIT_DATA less its
// data (VmData), the smaller; UINT64_MAX without limits. as_limit and
// data_limit are the limits (RLIM_INFINITY: none); status_root holds /proc/self/status.
uint64_t address_space_room(uint64_t as_limit, uint64_t data_limit, const std::string& status_root);

// The smallest of host_available, the cgroup's room and the address-space room,
// with the limit that gives it (the host where they tie).
MemoryRoom smallest_room(uint64_t host_available, uint64_t cgroup_room, uint64_t address_room);

// The room of this process now, under root.
MemoryRoom process_memory_room(const std::string& root = "");

// CPUs a cgroup CPU quota allows the process (v2 cpu.max, v1 cpu.cfs_quota_us /
// cpu.cfs_period_us, the smallest along the path to the root), rounded up; 0
// where there is no quota.
int cgroup_cpu_quota(const std::string& root);

// Threads a run uses: allowed_cpus (the affinity mask) capped by the quota.
int quota_threads(int allowed_cpus, int quota);
