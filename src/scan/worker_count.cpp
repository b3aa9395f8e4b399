#include "scan/worker_count.hpp"

#include <cstdlib>

#include "scan/worker_count_platform.hpp"

namespace vak::scan {

std::size_t choose_worker_count(const char* num_threads, const char* rs_num_cpus,
                                std::size_t cpus_available) noexcept {
    // A value that is not UTF-8 has a byte outside the digits, so it is refused
    // like a malformed one, and both count as unset.
    const auto read = [](const char* raw) -> std::optional<std::uint64_t> {
        if (raw == nullptr) return std::nullopt;
        return parse_count(raw);
    };
    std::uint64_t chosen = 0;
    if (const auto threads = read(num_threads)) {
        chosen = *threads;  // 0 asks for the default and skips the second variable
    } else if (const auto cpus = read(rs_num_cpus)) {
        chosen = *cpus;
    }
    if (chosen == 0) chosen = cpus_available == 0 ? 1 : cpus_available;
    return chosen > kMaxWorkers ? kMaxWorkers : static_cast<std::size_t>(chosen);
}

std::size_t available_cpus(const char* fs_root) noexcept {
    const std::size_t cpus = affinity_cpus();
    if (cpus == 0) return 0;
    const std::uint64_t quota = cgroup_cpu_limit(fs_root);
    return quota != 0 && quota < cpus ? static_cast<std::size_t>(quota) : cpus;
}

std::size_t worker_count_from_environment() noexcept {
    return choose_worker_count(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                               available_cpus(""));
}

}  // namespace vak::scan
