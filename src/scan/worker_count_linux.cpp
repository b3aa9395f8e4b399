// The Linux readers behind worker_count_platform.hpp: the CPU affinity mask
// and the cgroup CPU quota, read from /proc and the cgroup file systems.
#include "scan/worker_count_platform.hpp"

#if defined(__linux__)

#include <sched.h>

#include <bit>
#include <mutex>

#include "common/cgroup_files.hpp"
#include "common/decimal_count.hpp"
#include "scan/worker_count.hpp"

namespace vak::scan {

namespace {

using cgroup::GroupFiles;
using cgroup::Hierarchy;

// Too large for the small stacks of the threads that may create the pool: kept
// in static storage and used under a lock (the pool reads them once).
constinit std::mutex g_cpu_files_mutex;
constinit GroupFiles g_cpu_files;

constinit std::mutex g_mask_mutex;
// Room for 65536 processors, so that no retry with a larger mask is needed.
unsigned long g_mask[65536 / (8 * sizeof(unsigned long))];

// Processors allowed by a quota of `quota` per `period`, rounded up.
std::uint64_t quota_cpus(std::uint64_t quota, std::uint64_t period) noexcept {
    if (period == 0) return 0;
    const std::uint64_t cpus = quota / period + (quota % period != 0 ? 1 : 0);
    return cpus == 0 ? 1 : cpus;
}

std::string_view next_word(std::string_view& rest) noexcept {
    const std::size_t at = rest.find(' ');
    const std::string_view word = rest.substr(0, at);
    rest = at == std::string_view::npos ? std::string_view() : rest.substr(at + 1);
    return word;
}

// v2: "max 100000" is no limit; "150000 100000" is 2 processors.
std::uint64_t read_v2_limit(GroupFiles& files) noexcept {
    std::string_view line = files.read_line("cpu.max");
    const std::uint64_t quota = parse_count(next_word(line)).value_or(0);
    const std::uint64_t period = parse_count(next_word(line)).value_or(0);
    return quota == 0 ? 0 : quota_cpus(quota, period);
}

// v1: cpu.cfs_quota_us is -1 when unlimited, which parse_count refuses.
std::uint64_t read_v1_limit(GroupFiles& files) noexcept {
    const std::uint64_t quota = parse_count(files.read_line("cpu.cfs_quota_us")).value_or(0);
    const std::uint64_t period = parse_count(files.read_line("cpu.cfs_period_us")).value_or(0);
    return quota == 0 ? 0 : quota_cpus(quota, period);
}

}  // namespace

std::uint64_t cgroup_cpu_limit(const char* fs_root) noexcept {
    const std::lock_guard<std::mutex> lock(g_cpu_files_mutex);
    if (!g_cpu_files.locate(fs_root, cgroup::Controller::cpu)) return 0;
    std::uint64_t best = 0;
    g_cpu_files.for_each_directory([&](Hierarchy hierarchy) {
        const std::uint64_t limit =
            hierarchy == Hierarchy::v2 ? read_v2_limit(g_cpu_files) : read_v1_limit(g_cpu_files);
        if (limit != 0 && (best == 0 || limit < best)) best = limit;
    });
    return best;
}

std::size_t affinity_cpus() noexcept {
    const std::lock_guard<std::mutex> lock(g_mask_mutex);
    std::size_t cpus = 0;
    if (::sched_getaffinity(0, sizeof g_mask, reinterpret_cast<cpu_set_t*>(g_mask)) == 0) {
        for (const unsigned long bits : g_mask) {
            cpus += static_cast<std::size_t>(std::popcount(bits));
        }
    }
    return cpus;
}

}  // namespace vak::scan

#endif  // __linux__
