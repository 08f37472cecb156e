// What the machine allows the process: CPUs, memory, and when work is too
// small to hand to the worker pool. Every limit the library takes from its
// surroundings is decided here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vok {

// ------------------------------------------------------------------ CPUs

// CPUs available to the process: those of its affinity mask, limited by the
// CPU quota of its control group (cgroup v2 cpu.max from its own group up to
// the root, the tightest winning; else cgroup v1 cpu.cfs_quota_us over
// cpu.cfs_period_us), rounded up; at least 1.
std::size_t available_cpus();

// ---------------------------------------------------------------- memory

// Bytes of memory the process may still take: the smaller of MemAvailable in
// /proc/meminfo and, for every control group from the process's own up to
// the root that sets a limit, that limit minus the group's usage (cgroup v2
// memory.max - memory.current, v1 memory.limit_in_bytes -
// memory.usage_in_bytes). The environment variable VOK_MEMORY_LIMIT, a byte
// count with an optional K, M or G suffix (powers of 1024), replaces the
// measurement outright. Read afresh on each call (tens of microseconds).
std::uint64_t available_memory();

// The working-state limit of a formula search: half the available memory,
// and at least 256 MiB. The other half is left for what the limit does not
// count (the scoring's arrays, the result objects, the rest of the process);
// the floor keeps a momentarily busy machine from failing small searches,
// since the limit is there to stop a runaway search, not a tight one.
std::uint64_t search_memory_limit();

// How many items of `bytes_each` bytes the available memory can hold (for
// simulate_pulses_n: its records, native and as Python objects).
std::uint64_t affordable_count(std::uint64_t bytes_each);

// -------------------------------------------------- inline work threshold
//
// Handing a job to the pool (publishing it, waking the workers, waiting for
// the last one) costs about as much as 2^14 element-operations done on the
// calling thread; below that much work a call computes on the calling thread
// (with the same values). Work is counted in element-operations, a unit
// calibrated on the break-even points measured for each kernel (roughly a
// nanosecond of work), through the per-element costs below.
inline constexpr std::size_t kHandOffWork = std::size_t{1} << 14;

// Per element of an element-wise function (exp_n, tension_n, ...) and per
// point of christoffel_batch_n: one guarded elementary function or less.
inline constexpr std::size_t kElementwiseCost = 2;
// Per Lorentz boost (boost_n, VOKPoint.boost): six libm calls.
inline constexpr std::size_t kBoostCost = 8;
// Per octonion product: 64 multiply-adds.
inline constexpr std::size_t kOctonionProductCost = 64;
// Per term b_j * (g * a_i) of a geometric product.
inline constexpr std::size_t kProductTermCost = 1;
// The formula search estimates its steps' work in element-operations itself
// (rows times tokens) and compares it with kHandOffWork.

// Elements of a kernel costing `cost_each` below which a call runs inline:
// 8192 element-wise values or points, 2048 boosts, 256 octonion products,
// 2^14 product terms.
constexpr std::size_t inline_below(std::size_t cost_each) { return kHandOffWork / cost_each; }

// True when `work` element-operations are too few to repay a hand-off.
constexpr bool run_inline(std::size_t work) { return work < kHandOffWork; }

// ------------------------------------------- parsing (exposed for tests)

namespace machine {

// Reads a whole (small) file; nothing when it cannot be read.
using ReadFile = std::function<std::optional<std::string>(const std::string& path)>;
std::optional<std::string> read_file(const std::string& path);

// The process's groups from /proc/self/cgroup text: the v2 path ("0::/p"),
// and the v1 paths of the hierarchies with the memory and cpu controllers.
struct CgroupPaths {
    std::optional<std::string> v2, v1_memory, v1_cpu;
};
CgroupPaths parse_proc_cgroup(std::string_view text);

// MemAvailable (else MemFree) of /proc/meminfo text, in bytes.
std::optional<std::uint64_t> parse_meminfo_available(std::string_view text);

// A cgroup counter file: its byte count, or nothing for "max" or garbage.
std::optional<std::uint64_t> parse_cgroup_bytes(std::string_view text);

// cgroup v2 cpu.max ("<quota|max> <period>"): whole CPUs, rounded up, or
// nothing when unlimited.
std::optional<std::size_t> parse_cpu_max(std::string_view text);

// VOK_MEMORY_LIMIT's value: digits with an optional K, M or G (either case).
std::optional<std::uint64_t> parse_byte_size(const char* text);

// VOK_MEMORY_LIMIT's text when it is neither empty nor a byte size (it is
// then ignored, and the measured memory used), else null.
const char* ignored_memory_limit();

// The measurements of available_cpus() and available_memory() over any file
// system: the group's CPU quota (0 when none), and the memory the files
// allow (ignoring VOK_MEMORY_LIMIT).
std::size_t cgroup_cpu_quota(const ReadFile& read);
std::optional<std::uint64_t> memory_from_files(const ReadFile& read);

}  // namespace machine
}  // namespace vok
