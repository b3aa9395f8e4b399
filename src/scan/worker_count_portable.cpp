// The fallback behind worker_count_platform.hpp for systems other than Linux:
// no affinity mask or quota to read, so every online processor counts.
#include "scan/worker_count_platform.hpp"

#if !defined(__linux__)

#include <thread>

namespace vak::scan {

std::size_t affinity_cpus() noexcept {
    return std::thread::hardware_concurrency();
}

std::uint64_t cgroup_cpu_limit(const char*) noexcept {
    return 0;
}

}  // namespace vak::scan

#endif  // !__linux__
