#include "common/memory_ceiling.hpp"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <new>
#include <string_view>

#if defined(__linux__)
#include <pthread.h>
#include <sys/sysinfo.h>

#include "common/cgroup_files.hpp"
#include "common/decimal_count.hpp"
#endif

namespace vak::heap {

namespace ceiling_detail {

std::atomic<std::size_t> g_quick_bound{0};

}  // namespace ceiling_detail

namespace {

#if defined(__linux__)

// v1 reports "no limit" as 2^63 rounded down to whole pages; no real limit comes
// near this.
constexpr std::uint64_t kAbsurdLimit = std::uint64_t{1} << 62;

// Guards the reader and the quick bound's updates. It is taken inside the
// allocator, so nothing done under it allocates from the module's heap.
constinit std::mutex g_mutex;
constinit cgroup::GroupFiles g_files;

std::size_t parse_limit(std::string_view text) noexcept {
    if (text == "max") return kNoMemoryLimit;
    const auto value = parse_count(text);
    if (!value || *value == 0 || *value >= kAbsurdLimit) return kNoMemoryLimit;
    return static_cast<std::size_t>(*value);
}

// The caller holds g_mutex.
std::size_t read_group_limit(const char* fs_root) noexcept {
    if (!g_files.locate(fs_root, cgroup::Controller::memory)) return kNoMemoryLimit;
    std::size_t limit = kNoMemoryLimit;
    g_files.for_each_directory([&](cgroup::Hierarchy hierarchy) {
        const std::string_view name =
            hierarchy == cgroup::Hierarchy::v2 ? "memory.max" : "memory.limit_in_bytes";
        limit = std::min(limit, parse_limit(g_files.read_line(name)));
    });
    return limit;
}

std::size_t machine_memory() noexcept {
    struct sysinfo info{};
    if (::sysinfo(&info) != 0) return kNoMemoryLimit;
    const unsigned long long unit = info.mem_unit == 0 ? 1 : info.mem_unit;
    const unsigned long long total =
        (static_cast<unsigned long long>(info.totalram) + info.totalswap) * unit;
    return total == 0 ? kNoMemoryLimit : static_cast<std::size_t>(total);
}

// fork() copies only the calling thread: the child must find the lock free
// even when another thread held it, and read the groups afresh. Registered when
// the module is loaded, before any thread can hold the lock.
void after_fork_in_child() noexcept {
    new (&g_mutex) std::mutex();
    g_files.forget();
}
[[maybe_unused]] const bool g_fork_handler_set =
    ::pthread_atfork(nullptr, nullptr, &after_fork_in_child) == 0;

std::size_t read_ceiling() noexcept {
    const std::lock_guard<std::mutex> lock(g_mutex);
    const std::size_t ceiling = std::min(machine_memory(), read_group_limit(""));
    ceiling_detail::g_quick_bound.store(std::min(ceiling, kFreshReadFrom),
                                        std::memory_order_relaxed);
    return ceiling;
}

#else  // nothing to read: every request may be attempted

std::size_t read_ceiling() noexcept {
    ceiling_detail::g_quick_bound.store(kNoMemoryLimit, std::memory_order_relaxed);
    return kNoMemoryLimit;
}

#endif

}  // namespace

bool ceiling_detail::fits_after_reading(std::size_t bytes) noexcept {
    return bytes <= read_ceiling();
}

std::size_t memory_ceiling() noexcept {
    return read_ceiling();
}

std::size_t cgroup_memory_limit([[maybe_unused]] const char* fs_root) noexcept {
#if defined(__linux__)
    const std::lock_guard<std::mutex> lock(g_mutex);
    return read_group_limit(fs_root);
#else
    return kNoMemoryLimit;
#endif
}

}  // namespace vak::heap
