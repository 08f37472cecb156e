#include "machine.hpp"

#include <sched.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace vok {
namespace machine {

namespace {

constexpr char kCgroupRoot[] = "/sys/fs/cgroup";

// Leading decimal digits of `text` (after blanks) as a number.
std::optional<std::uint64_t> leading_number(std::string_view text) {
    const auto start = text.find_first_not_of(" \t");
    if (start == std::string_view::npos) return std::nullopt;
    std::uint64_t value = 0;
    const char* first = text.data() + start;
    const auto [end, ec] = std::from_chars(first, text.data() + text.size(), value);
    if (ec != std::errc() || end == first) return std::nullopt;
    return value;
}

// Calls f(dir) for a group and each of its ancestors: "/a/b", "/a", "/".
template <class F>
void for_each_ancestor(std::string dir, F f) {
    if (dir.empty() || dir[0] != '/') dir.insert(0, 1, '/');
    for (;;) {
        f(dir == "/" ? std::string() : dir);
        if (dir == "/") return;
        const auto cut = dir.rfind('/');
        dir = cut == 0 ? "/" : dir.substr(0, cut);
    }
}

// The value after "Key:" on its own line of /proc/meminfo, in bytes.
std::optional<std::uint64_t> meminfo_field(std::string_view text, std::string_view key) {
    for (std::size_t at = 0; at < text.size();) {
        const auto eol = std::min(text.find('\n', at), text.size());
        const std::string_view line = text.substr(at, eol - at);
        at = eol + 1;
        if (line.size() > key.size() && line.starts_with(key) && line[key.size()] == ':') {
            const auto kib = leading_number(line.substr(key.size() + 1));
            if (kib && *kib <= UINT64_MAX / 1024) return *kib * 1024;  // the file says "kB": KiB
            return std::nullopt;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream f(path);
    if (!f) return std::nullopt;
    std::ostringstream text;
    text << f.rdbuf();
    return std::move(text).str();
}

CgroupPaths parse_proc_cgroup(std::string_view text) {
    CgroupPaths out;
    for (std::size_t at = 0; at < text.size();) {
        // "hierarchy-id:controllers:path"
        const auto eol = std::min(text.find('\n', at), text.size());
        const std::string_view line = text.substr(at, eol - at);
        at = eol + 1;
        const auto a = line.find(':');
        const auto b = a == std::string_view::npos ? a : line.find(':', a + 1);
        if (b == std::string_view::npos) continue;
        const std::string_view id = line.substr(0, a), controllers = line.substr(a + 1, b - a - 1);
        const std::string path(line.substr(b + 1));
        if (id == "0" && controllers.empty()) out.v2 = path;
        for (std::size_t c = 0; c <= controllers.size();) {
            const auto comma = std::min(controllers.find(',', c), controllers.size());
            const std::string_view name = controllers.substr(c, comma - c);
            if (name == "memory") out.v1_memory = path;
            if (name == "cpu") out.v1_cpu = path;
            c = comma + 1;
        }
    }
    return out;
}

std::optional<std::uint64_t> parse_meminfo_available(std::string_view text) {
    if (auto v = meminfo_field(text, "MemAvailable")) return v;
    return meminfo_field(text, "MemFree");  // kernels before 3.14
}

std::optional<std::uint64_t> parse_cgroup_bytes(std::string_view text) { return leading_number(text); }

std::optional<std::size_t> parse_cpu_max(std::string_view text) {
    const auto quota = leading_number(text);
    const auto space = text.find(' ');
    if (!quota || space == std::string_view::npos) return std::nullopt;  // "max ..." or garbage
    const auto period = leading_number(text.substr(space + 1));
    if (!period || *period == 0 || *quota == 0) return std::nullopt;
    return static_cast<std::size_t>((*quota + *period - 1) / *period);
}

std::optional<std::uint64_t> parse_byte_size(const char* text) {
    if (!text) return std::nullopt;
    const std::string_view s(text);
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end == s.data()) return std::nullopt;
    const std::string_view suffix(end, static_cast<std::size_t>(s.data() + s.size() - end));
    int shift = 0;
    if (suffix == "K" || suffix == "k")
        shift = 10;
    else if (suffix == "M" || suffix == "m")
        shift = 20;
    else if (suffix == "G" || suffix == "g")
        shift = 30;
    else if (!suffix.empty())
        return std::nullopt;
    if (value > (UINT64_MAX >> shift)) return std::nullopt;
    return value << shift;
}

std::size_t cgroup_cpu_quota(const ReadFile& read) {
    const CgroupPaths groups = parse_proc_cgroup(read("/proc/self/cgroup").value_or(""));
    std::size_t best = 0;
    if (groups.v2) {
        for_each_ancestor(*groups.v2, [&](const std::string& dir) {
            const auto n = parse_cpu_max(read(kCgroupRoot + dir + "/cpu.max").value_or(""));
            if (n && (!best || *n < best)) best = *n;
        });
        if (best) return best;
    }
    // cgroup v1: cpu.cfs_quota_us (-1 means none) over cpu.cfs_period_us, in
    // the process's group or, inside a container, the mount's own root.
    for (const char* mount : {"/cpu,cpuacct", "/cpu"}) {
        for (const std::string& dir : {groups.v1_cpu.value_or(""), std::string()}) {
            const std::string base = kCgroupRoot + std::string(mount) + (dir == "/" ? "" : dir);
            const auto quota = leading_number(read(base + "/cpu.cfs_quota_us").value_or(""));  // "-1": none
            const auto period = leading_number(read(base + "/cpu.cfs_period_us").value_or(""));
            if (quota && period && *quota > 0 && *period > 0)
                return static_cast<std::size_t>((*quota + *period - 1) / *period);
        }
    }
    return 0;
}

std::optional<std::uint64_t> memory_from_files(const ReadFile& read) {
    std::optional<std::uint64_t> best = parse_meminfo_available(read("/proc/meminfo").value_or(""));
    auto consider = [&](const std::string& limit_file, const std::string& usage_file) {
        const auto limit = parse_cgroup_bytes(read(limit_file).value_or(""));
        if (!limit) return;  // "max", or no such file at this level
        const std::uint64_t usage = parse_cgroup_bytes(read(usage_file).value_or("")).value_or(0);
        const std::uint64_t room = *limit > usage ? *limit - usage : 0;
        if (!best || room < *best) best = room;
    };
    const CgroupPaths groups = parse_proc_cgroup(read("/proc/self/cgroup").value_or(""));
    if (groups.v2)
        for_each_ancestor(*groups.v2, [&](const std::string& dir) {
            consider(kCgroupRoot + dir + "/memory.max", kCgroupRoot + dir + "/memory.current");
        });
    if (groups.v1_memory)  // an unlimited v1 group reports a huge limit: no harm
        for_each_ancestor(*groups.v1_memory, [&](const std::string& dir) {
            const std::string base = kCgroupRoot + std::string("/memory") + dir;
            consider(base + "/memory.limit_in_bytes", base + "/memory.usage_in_bytes");
        });
    return best;
}

const char* ignored_memory_limit() {
    const char* text = std::getenv("VOK_MEMORY_LIMIT");
    return text && *text && !parse_byte_size(text) ? text : nullptr;
}

}  // namespace machine

std::size_t available_cpus() {
    std::size_t n = 0;
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) n = static_cast<std::size_t>(CPU_COUNT(&set));
    if (n == 0) n = std::max(1u, std::thread::hardware_concurrency());
    if (const std::size_t quota = machine::cgroup_cpu_quota(machine::read_file); quota && quota < n) n = quota;
    return std::max<std::size_t>(n, 1);
}

std::uint64_t available_memory() {
    if (const auto forced = machine::parse_byte_size(std::getenv("VOK_MEMORY_LIMIT"))) return *forced;
    // Unknown (no /proc): assume plenty and let allocations fail on their own.
    return machine::memory_from_files(machine::read_file).value_or(UINT64_MAX);
}

std::uint64_t search_memory_limit() {
    constexpr std::uint64_t kFloor = std::uint64_t{256} << 20;
    return std::max(available_memory() / 2, kFloor);
}

std::uint64_t affordable_count(std::uint64_t bytes_each) {
    return bytes_each ? available_memory() / bytes_each : UINT64_MAX;
}

}  // namespace vok
