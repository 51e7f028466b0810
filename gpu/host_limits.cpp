#include "gpu/host_limits.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

constexpr uint64_t kNoLimit = UINT64_MAX;

// A cgroup file's number; kNoLimit for "max", a negative number or a file that cannot be read.
uint64_t file_number(const std::string& path) {
    std::ifstream in(path);
    std::string word;
    if (!(in >> word) || word == "max" || word[0] == '-') return kNoLimit;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(word.c_str(), &end, 10);
    return end && *end == '\0' ? (uint64_t)v : kNoLimit;
}

struct CgroupLine {
    std::string controllers, path;
};

std::vector<CgroupLine> cgroup_lines(const std::string& root) {
    std::vector<CgroupLine> lines;
    std::ifstream in(root + "/proc/self/cgroup");
    std::string line;
    while (std::getline(in, line)) {
        const size_t a = line.find(':'), b = a == std::string::npos ? a : line.find(':', a + 1);
        if (b == std::string::npos) continue;
        lines.push_back({line.substr(a + 1, b - a - 1), line.substr(b + 1)});
    }
    return lines;
}

bool lists(const std::string& controllers, const std::string& name) {
    std::stringstream list(controllers);
    std::string item;
    while (std::getline(list, item, ','))
        if (item == name) return true;
    return false;
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// The folders of the cgroup and of every cgroup above it, the cgroup's own first.
std::vector<std::string> cgroup_folders(const std::string& mount, std::string path) {
    std::vector<std::string> folders;
    while (!path.empty() && path.back() == '/') path.pop_back();
    for (;;) {
        folders.push_back(mount + path);
        if (path.empty()) return folders;
        path.resize(path.rfind('/') == std::string::npos ? 0 : path.rfind('/'));
    }
}

// Folders of the cgroup v2 hierarchy (unified at /sys/fs/cgroup, or beside v1
// at /sys/fs/cgroup/unified), empty where there is none.
std::vector<std::string> v2_folders(const std::string& root) {
    const std::string fs = root + "/sys/fs/cgroup";
    for (const CgroupLine& l : cgroup_lines(root)) {
        if (!l.controllers.empty()) continue;
        const std::string mount = exists(fs + "/cgroup.controllers") ? fs : fs + "/unified";
        return cgroup_folders(mount, l.path);
    }
    return {};
}

// Folders of the v1 hierarchy holding the controller.
std::vector<std::string> v1_folders(const std::string& root, const std::string& controller) {
    const std::string fs = root + "/sys/fs/cgroup/";
    for (const CgroupLine& l : cgroup_lines(root)) {
        if (!lists(l.controllers, controller)) continue;
        const std::string mount = exists(fs + l.controllers) ? fs + l.controllers : fs + controller;
        return cgroup_folders(mount, l.path);
    }
    return {};
}

uint64_t room_of(uint64_t limit, uint64_t usage) {
    if (limit == kNoLimit) return kNoLimit;
    if (usage == kNoLimit) usage = 0;
    return limit > usage ? limit - usage : 0;
}

// The "Key:   1234 kB" field of a /proc file (status, meminfo) in bytes;
// kNoLimit when the file or the key is missing.
uint64_t kib_field_bytes(const std::string& path, const std::string& key) {
    std::ifstream in(path);
    std::string name;
    unsigned long long kib = 0;
    while (in >> name) {
        if (name == key && in >> kib) return (uint64_t)kib * 1024;
        in.ignore(4096, '\n');
    }
    return kNoLimit;
}

// A status field of what the process maps, 0 when it cannot be read.
uint64_t status_bytes(const std::string& status_path, const std::string& key) {
    const uint64_t bytes = kib_field_bytes(status_path, key);
    return bytes == kNoLimit ? 0 : bytes;
}

uint64_t limit_less(uint64_t limit, uint64_t used) {
    if (limit == (uint64_t)RLIM_INFINITY) return kNoLimit;
    return limit > used ? limit - used : 0;
}

uint64_t rlimit_of(int resource) {
    struct rlimit r;
    return getrlimit(resource, &r) == 0 ? (uint64_t)r.rlim_cur : (uint64_t)RLIM_INFINITY;
}

// Bytes of /proc/meminfo's MemAvailable; kNoLimit when it cannot be read.
uint64_t meminfo_available(const std::string& root) { return kib_field_bytes(root + "/proc/meminfo", "MemAvailable:"); }

uint64_t physical_memory() {
    const long pages = sysconf(_SC_PHYS_PAGES), page_size = sysconf(_SC_PAGE_SIZE);
    return pages > 0 && page_size > 0 ? (uint64_t)pages * (uint64_t)page_size : 0;
}

// Quota over period, rounded up; 0 without a quota.
int quota_cpus(uint64_t quota, uint64_t period) {
    if (quota == kNoLimit || period == kNoLimit || period == 0) return 0;
    return (int)std::min<uint64_t>((quota + period - 1) / period, 1u << 20);
}

int smaller_quota(int a, int b) { return a == 0 ? b : b == 0 ? a : std::min(a, b); }

// cpu.max: "<quota> <period>" or "max <period>".
int v2_cpu_quota(const std::string& folder) {
    std::ifstream in(folder + "/cpu.max");
    std::string quota;
    unsigned long long period = 0;
    if (!(in >> quota >> period) || quota == "max") return 0;
    char* end = nullptr;
    const unsigned long long q = std::strtoull(quota.c_str(), &end, 10);
    return end && *end == '\0' ? quota_cpus(q, period) : 0;
}

}  // namespace

const char* memory_bound_name(MemoryBound bound) {
    switch (bound) {
        case MemoryBound::cgroup: return "cgroup limit";
        case MemoryBound::address_space: return "address-space limit";
        default: return "host";
    }
}

uint64_t cgroup_memory_room(const std::string& root) {
    uint64_t room = kNoLimit;
    for (const std::string& f : v2_folders(root))
        room = std::min(room, room_of(file_number(f + "/memory.max"), file_number(f + "/memory.current")));
    for (const std::string& f : v1_folders(root, "memory"))
        room = std::min(room, room_of(file_number(f + "/memory.limit_in_bytes"),
                                      file_number(f + "/memory.usage_in_bytes")));
    return room;
}

uint64_t address_space_room(uint64_t as_limit, uint64_t data_limit, const std::string& status_root) {
    const std::string status = status_root + "/proc/self/status";
    uint64_t room = kNoLimit;
    if (as_limit != (uint64_t)RLIM_INFINITY) room = limit_less(as_limit, status_bytes(status, "VmSize:"));
    if (data_limit != (uint64_t)RLIM_INFINITY)
        room = std::min(room, limit_less(data_limit, status_bytes(status, "VmData:")));
    return room;
}

MemoryRoom smallest_room(uint64_t host_available, uint64_t cgroup_room, uint64_t address_room) {
    MemoryRoom r{host_available, MemoryBound::host};
    if (cgroup_room < r.bytes) r = {cgroup_room, MemoryBound::cgroup};
    if (address_room < r.bytes) r = {address_room, MemoryBound::address_space};
    return r;
}

MemoryRoom process_memory_room(const std::string& root) {
    uint64_t host = meminfo_available(root);
    if (host == kNoLimit) host = physical_memory();
    return smallest_room(host, cgroup_memory_room(root),
                         address_space_room(rlimit_of(RLIMIT_AS), rlimit_of(RLIMIT_DATA), root));
}

int cgroup_cpu_quota(const std::string& root) {
    int cpus = 0;
    for (const std::string& f : v2_folders(root)) cpus = smaller_quota(cpus, v2_cpu_quota(f));
    for (const std::string& f : v1_folders(root, "cpu"))
        cpus = smaller_quota(cpus, quota_cpus(file_number(f + "/cpu.cfs_quota_us"), file_number(f + "/cpu.cfs_period_us")));
    return cpus;
}

int quota_threads(int allowed_cpus, int quota) {
    const int allowed = std::max(1, allowed_cpus);
    return quota > 0 ? std::min(allowed, quota) : allowed;
}
