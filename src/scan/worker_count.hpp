// How many workers the batch-scan pool gets: the two sizing environment
// variables, else the processors the process may use.
//
// Nothing here allocates on the heap, so the rules can be linked into a
// standalone test program (with common/cgroup_files.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/decimal_count.hpp"  // parse_count

namespace vak::scan {

inline constexpr std::size_t kMaxWorkers = 65535;

// The sizing rule over raw environment values (nullptr when unset).
// `cpus_available` is the processors the process may use, 0 when unknown.
std::size_t choose_worker_count(const char* num_threads, const char* rs_num_cpus,
                                std::size_t cpus_available) noexcept;

// The tightest cgroup CPU quota (cgroup v2 "cpu.max", v1 "cpu.cfs_quota_us" over
// "cpu.cfs_period_us") of the process's cgroup and its ancestors, rounded up to
// whole processors (at least 1); 0 when no quota is set or none can be read.
// `fs_root` is prefixed to every path read ("/proc/self/cgroup",
// "/proc/self/mountinfo" and the cgroup files), "" for the real file system.
std::uint64_t cgroup_cpu_limit(const char* fs_root) noexcept;

// Processors in the CPU affinity mask, limited by the cgroup quota found under
// `fs_root`; 0 when unknown.
std::size_t available_cpus(const char* fs_root) noexcept;

// The sizing rule applied to this process's environment.
std::size_t worker_count_from_environment() noexcept;

}  // namespace vak::scan
