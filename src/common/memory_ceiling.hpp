// The most memory one request may ask for: what the machine can give at all
// (physical memory plus swap), or the memory limit of the process's control
// groups when that is lower. A larger request fails at once instead of reserving
// address space that the first pages written would turn into an out-of-memory
// kill.
//
// Limits change while the process runs (it is moved into another group, an
// orchestrator resizes its container), so a request of kFreshReadFrom bytes or
// more reads them afresh; smaller requests compare with the ceiling last read,
// which keeps the check on every allocation to one load and one comparison.
//
// Used by the module, except memory_ceiling() (only the memory-ceiling bench)
// and cgroup_memory_limit() (only the cgroup probe): two small entries into the
// reader, which stay beside it because they take its lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <limits>

namespace vak::heap {

inline constexpr std::size_t kNoMemoryLimit = std::numeric_limits<std::size_t>::max();

// A fresh reading costs a few microseconds (a handful of small files under /proc
// and the cgroup file system); the first touch of this much memory costs
// milliseconds.
inline constexpr std::size_t kFreshReadFrom = std::size_t{32} << 20;

namespace ceiling_detail {

// The smaller of kFreshReadFrom and the ceiling last read; 0 before the first.
extern std::atomic<std::size_t> g_quick_bound;

// Reads the ceiling afresh and tells whether `bytes` fits under it.
bool fits_after_reading(std::size_t bytes) noexcept;

}  // namespace ceiling_detail

// Whether a request for `bytes` may be attempted.
inline bool within_ceiling(std::size_t bytes) noexcept {
    return bytes <= ceiling_detail::g_quick_bound.load(std::memory_order_relaxed) ||
           ceiling_detail::fits_after_reading(bytes);
}

// The ceiling now, read afresh.
std::size_t memory_ceiling() noexcept;

// The tightest memory limit of this process's control groups and their
// ancestors (v2 "memory.max", v1 "memory.limit_in_bytes"), kNoMemoryLimit when
// none is set. A value that cannot be read or makes no sense (garbage, zero,
// v1's "unlimited" near 2^63) counts as no limit, never as a tiny one. `fs_root`
// is prefixed to every path read, "" for the real file system.
std::size_t cgroup_memory_limit(const char* fs_root) noexcept;

}  // namespace vak::heap
