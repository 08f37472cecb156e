// Limits read from the machine, over file contents given as fixtures, and
// the inline-work thresholds.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "machine.hpp"

namespace {

using vok::machine::CgroupPaths;

// A file system of fixture files.
vok::machine::ReadFile files(std::map<std::string, std::string> contents) {
    return [contents](const std::string& path) -> std::optional<std::string> {
        const auto it = contents.find(path);
        if (it == contents.end()) return std::nullopt;
        return it->second;
    };
}

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;

const std::string kMeminfo =
    "MemTotal:       24576000 kB\n"
    "MemFree:         1024000 kB\n"
    "MemAvailable:   20480000 kB\n"
    "Buffers:           10000 kB\n";

TEST(Machine, ParsesProcSelfCgroup) {
    const CgroupPaths v2 = vok::machine::parse_proc_cgroup("0::/user.slice/session-2.scope\n");
    EXPECT_EQ(v2.v2, "/user.slice/session-2.scope");
    EXPECT_EQ(v2.v1_memory, std::nullopt);
    const CgroupPaths v1 = vok::machine::parse_proc_cgroup(
        "12:cpu,cpuacct:/docker/abc\n"
        "9:memory:/docker/abc\n"
        "1:name=systemd:/docker/abc\n"
        "0::/\n");
    EXPECT_EQ(v1.v1_cpu, "/docker/abc");
    EXPECT_EQ(v1.v1_memory, "/docker/abc");
    EXPECT_EQ(v1.v2, "/");
    EXPECT_EQ(vok::machine::parse_proc_cgroup("garbage\n").v2, std::nullopt);
}

TEST(Machine, ParsesCounterFiles) {
    EXPECT_EQ(vok::machine::parse_meminfo_available(kMeminfo), 20480000 * std::uint64_t{1024});
    EXPECT_EQ(vok::machine::parse_meminfo_available("MemTotal: 4 kB\nMemFree: 3 kB\n"), 3072u);  // old kernel
    EXPECT_EQ(vok::machine::parse_meminfo_available("MemAvailableX: 3 kB\n"), std::nullopt);
    EXPECT_EQ(vok::machine::parse_cgroup_bytes("536870912\n"), 512 * kMiB);
    EXPECT_EQ(vok::machine::parse_cgroup_bytes("max\n"), std::nullopt);
    EXPECT_EQ(vok::machine::parse_cpu_max("150000 100000\n"), 2u);
    EXPECT_EQ(vok::machine::parse_cpu_max("100000 100000\n"), 1u);
    EXPECT_EQ(vok::machine::parse_cpu_max("max 100000\n"), std::nullopt);
}

TEST(Machine, ParsesTheMemoryLimitVariable) {
    EXPECT_EQ(vok::machine::parse_byte_size("123"), 123u);
    EXPECT_EQ(vok::machine::parse_byte_size("4K"), 4096u);
    EXPECT_EQ(vok::machine::parse_byte_size("512m"), 512 * kMiB);
    EXPECT_EQ(vok::machine::parse_byte_size("3G"), 3072 * kMiB);
    for (const char* bad : {"", "G", "-1", "1.5G", "2T", "1 G", "18446744073709551616", "17179869184G"})
        EXPECT_EQ(vok::machine::parse_byte_size(bad), std::nullopt) << bad;
    EXPECT_EQ(vok::machine::parse_byte_size(nullptr), std::nullopt);
}

TEST(Machine, MemoryIsTheTightestOfMeminfoAndEveryLimitedGroup) {
    // v2: the own group is unlimited, its parent leaves 300 MiB, the root has no file.
    EXPECT_EQ(vok::machine::memory_from_files(files({
                  {"/proc/meminfo", kMeminfo},
                  {"/proc/self/cgroup", "0::/a/b\n"},
                  {"/sys/fs/cgroup/a/b/memory.max", "max\n"},
                  {"/sys/fs/cgroup/a/b/memory.current", "1000\n"},
                  {"/sys/fs/cgroup/a/memory.max", std::to_string(1024 * kMiB) + "\n"},
                  {"/sys/fs/cgroup/a/memory.current", std::to_string(724 * kMiB) + "\n"},
              })),
              300 * kMiB);
    // v2 inside a container: "0::/" and the container's own limit at the mount's root.
    EXPECT_EQ(vok::machine::memory_from_files(files({
                  {"/proc/meminfo", kMeminfo},
                  {"/proc/self/cgroup", "0::/\n"},
                  {"/sys/fs/cgroup/memory.max", std::to_string(2048 * kMiB)},
                  {"/sys/fs/cgroup/memory.current", std::to_string(2100 * kMiB)},  // over: nothing left
              })),
              0u);
    // v1, limit looser than meminfo: meminfo decides.
    EXPECT_EQ(vok::machine::memory_from_files(files({
                  {"/proc/meminfo", kMeminfo},
                  {"/proc/self/cgroup", "9:memory:/job\n"},
                  {"/sys/fs/cgroup/memory/job/memory.limit_in_bytes", "9223372036854771712\n"},
                  {"/sys/fs/cgroup/memory/job/memory.usage_in_bytes", "4096\n"},
              })),
              20480000 * std::uint64_t{1024});
    EXPECT_EQ(vok::machine::memory_from_files(files({})), std::nullopt);
}

TEST(Machine, CpuQuotaIsTheTightestGroupLimit) {
    EXPECT_EQ(vok::machine::cgroup_cpu_quota(files({
                  {"/proc/self/cgroup", "0::/a/b\n"},
                  {"/sys/fs/cgroup/a/b/cpu.max", "max 100000\n"},
                  {"/sys/fs/cgroup/a/cpu.max", "250000 100000\n"},
                  {"/sys/fs/cgroup/cpu.max", "400000 100000\n"},
              })),
              3u);
    EXPECT_EQ(vok::machine::cgroup_cpu_quota(files({
                  {"/proc/self/cgroup", "4:cpu,cpuacct:/job\n"},
                  {"/sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_quota_us", "50000\n"},
                  {"/sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_period_us", "100000\n"},
              })),
              1u);
    EXPECT_EQ(vok::machine::cgroup_cpu_quota(files({
                  {"/proc/self/cgroup", "4:cpu,cpuacct:/job\n"},
                  {"/sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_quota_us", "-1\n"},
                  {"/sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_period_us", "100000\n"},
              })),
              0u);
}

TEST(Machine, TheMemoryLimitVariableReplacesTheMeasurement) {
    const char* saved = std::getenv("VOK_MEMORY_LIMIT");
    const std::string value = saved ? saved : "";
    ::setenv("VOK_MEMORY_LIMIT", "3G", 1);
    EXPECT_EQ(vok::available_memory(), 3072 * kMiB);
    EXPECT_EQ(vok::search_memory_limit(), 1536 * kMiB);
    EXPECT_EQ(vok::affordable_count(1024), 3 * kMiB);
    ::setenv("VOK_MEMORY_LIMIT", "1M", 1);
    EXPECT_EQ(vok::search_memory_limit(), 256 * kMiB);  // the floor
    if (saved)
        ::setenv("VOK_MEMORY_LIMIT", value.c_str(), 1);
    else
        ::unsetenv("VOK_MEMORY_LIMIT");
}

TEST(Machine, InlineThresholdsKeepTheKernelsBreakEvenPoints) {
    EXPECT_EQ(vok::inline_below(vok::kElementwiseCost), 8192u);
    EXPECT_EQ(vok::inline_below(vok::kOctonionProductCost), 256u);
    EXPECT_EQ(vok::inline_below(vok::kProductTermCost), std::size_t{1} << 14);
    EXPECT_TRUE(vok::run_inline(vok::kHandOffWork - 1));
    EXPECT_FALSE(vok::run_inline(vok::kHandOffWork));
}

}  // namespace
