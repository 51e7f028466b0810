// The process limits read from /proc and /sys/fs/cgroup trees (v2, v1 beside v2, nested, "max").
#include <sys/resource.h>

#include "gpu/host_limits.h"
#include "support/common.h"

namespace {

using Files = std::vector<std::pair<std::string, std::string>>;

const std::string& tree(const TempDir& dir, const Files& files) {
    for (const auto& [path, text] : files) {
        std::filesystem::create_directories(std::filesystem::path(dir.file(path)).parent_path());
        write_file(dir.file(path), text);
    }
    return dir.path;
}

constexpr uint64_t kNone = UINT64_MAX;
const std::string v2 = "sys/fs/cgroup/", v1 = "sys/fs/cgroup/memory/", cpu1 = "sys/fs/cgroup/cpu,cpuacct/j/";
const std::pair<std::string, std::string> in_v2 = {"proc/self/cgroup", "0::/a/b\n"}, unified = {v2 + "cgroup.controllers", ""};

}  // namespace

TEST(HostLimits, CgroupRoomAndQuotaAreTheSmallestOnThePathToTheRoot) {
    const struct { Files files; uint64_t room; int cpus; } cases[] = {
        // v2: the parent's limit binds a cgroup of "max"; the own cgroup binds; usage over the limit.
        {{in_v2, unified, {v2 + "a/b/memory.max", "max\n"}, {v2 + "a/b/memory.current", "100\n"},
          {v2 + "a/memory.max", "1000\n"}, {v2 + "a/memory.current", "300\n"}, {v2 + "a/b/cpu.max", "150000 100000\n"}}, 700, 2},
        {{in_v2, unified, {v2 + "a/b/memory.max", "500\n"}, {v2 + "a/b/memory.current", "120\n"},
          {v2 + "a/memory.max", "1000\n"}, {v2 + "a/b/cpu.max", "max 100000\n"}, {v2 + "a/cpu.max", "100000 100000\n"}}, 380, 1},
        {{in_v2, unified, {v2 + "a/b/memory.max", "10\n"}, {v2 + "a/b/memory.current", "11\n"}}, 0, 0},
        // v1 beside v2 (whose cgroup is the root): nested, and the root's "no limit" number.
        {{{"proc/self/cgroup", "4:memory:/x/y\n3:cpu,cpuacct:/j\n0::/\n"}, {v1 + "x/y/memory.limit_in_bytes", "5000\n"},
          {v1 + "x/y/memory.usage_in_bytes", "1000\n"}, {v1 + "x/memory.limit_in_bytes", "3000\n"},
          {v1 + "x/memory.usage_in_bytes", "2900\n"}, {v1 + "memory.limit_in_bytes", "9223372036854771712\n"},
          {"sys/fs/cgroup/unified/a/memory.max", "1\n"}, {cpu1 + "cpu.cfs_quota_us", "250000\n"},
          {cpu1 + "cpu.cfs_period_us", "100000\n"}}, 100, 3},
        // Unreadable limits, a quota of -1, no cgroup file at all.
        {{{"proc/self/cgroup", "4:memory:/x\n3:cpu,cpuacct:/j\n"}, {v1 + "x/memory.usage_in_bytes", "5\n"},
          {cpu1 + "cpu.cfs_quota_us", "-1\n"}, {cpu1 + "cpu.cfs_period_us", "100000\n"}}, kNone, 0},
        {{}, kNone, 0},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const TempDir dir;
        EXPECT_EQ(cgroup_memory_room(tree(dir, cases[i].files)), cases[i].room) << i;
        EXPECT_EQ(cgroup_cpu_quota(dir.path), cases[i].cpus) << i;
    }
}

TEST(HostLimits, AddressSpaceRoomIsTheLimitLessWhatIsMapped) {
    const TempDir dir;
    tree(dir, {{"proc/self/status", "Name:\tx\nVmSize:\t    1000 kB\nVmData:\t     200 kB\n"}});
    const uint64_t inf = RLIM_INFINITY;
    EXPECT_EQ(address_space_room(inf, inf, dir.path), kNone);
    EXPECT_EQ(address_space_room(5000 * 1024, inf, dir.path), 4000u * 1024);
    EXPECT_EQ(address_space_room(5000 * 1024, 1000 * 1024, dir.path), 800u * 1024);
    EXPECT_EQ(address_space_room(500 * 1024, inf, dir.path), 0u);
}
