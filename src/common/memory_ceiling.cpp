#include "common/memory_ceiling.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#if defined(__linux__)
#include <sys/sysinfo.h>
#endif

namespace vak::heap {

namespace {

constexpr std::size_t kUnlimited = std::numeric_limits<std::size_t>::max();
constexpr std::size_t kFloor = std::size_t{1} << 30;

#if defined(__linux__)

// A number from a control-group file ("max" and absurd values mean no limit).
std::size_t read_limit(const char* path) noexcept {
    std::FILE* file = std::fopen(path, "re");
    if (file == nullptr) return kUnlimited;
    char text[64] = {};
    const bool read = std::fgets(text, sizeof text, file) != nullptr;
    std::fclose(file);
    if (!read || std::strncmp(text, "max", 3) == 0) return kUnlimited;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (end == text || value == 0) return kUnlimited;
    return value >= (1ULL << 62) ? kUnlimited : static_cast<std::size_t>(value);
}

// The tightest memory limit of this process's control group and its ancestors
// (v2: memory.max; v1: memory.limit_in_bytes).
std::size_t cgroup_limit() noexcept {
    std::FILE* file = std::fopen("/proc/self/cgroup", "re");
    if (file == nullptr) return kUnlimited;
    std::size_t limit = kUnlimited;
    char line[4096];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        line[std::strcspn(line, "\n")] = '\0';
        // "hierarchy-id:controllers:path"
        char* first = std::strchr(line, ':');
        char* second = first != nullptr ? std::strchr(first + 1, ':') : nullptr;
        if (second == nullptr) continue;
        *second = '\0';
        const char* controllers = first + 1;
        const char* path = second + 1;
        const char* root = nullptr;
        const char* file_name = nullptr;
        if (*controllers == '\0') {
            root = "/sys/fs/cgroup";
            file_name = "memory.max";
        } else if (std::strstr(controllers, "memory") != nullptr) {
            root = "/sys/fs/cgroup/memory";
            file_name = "memory.limit_in_bytes";
        } else {
            continue;
        }
        char dir[4096];
        std::snprintf(dir, sizeof dir, "%s%s", root, path);
        for (;;) {
            char limit_path[4200];
            std::snprintf(limit_path, sizeof limit_path, "%s/%s", dir, file_name);
            limit = std::min(limit, read_limit(limit_path));
            char* slash = std::strrchr(dir, '/');
            if (slash == nullptr || std::strlen(dir) <= std::strlen(root)) break;
            *slash = '\0';
        }
    }
    std::fclose(file);
    return limit;
}

std::size_t machine_memory() noexcept {
    struct sysinfo info {};
    if (::sysinfo(&info) != 0) return kUnlimited;
    const unsigned long long unit = info.mem_unit == 0 ? 1 : info.mem_unit;
    const unsigned long long total =
        (static_cast<unsigned long long>(info.totalram) + info.totalswap) * unit;
    return total == 0 ? kUnlimited : static_cast<std::size_t>(total);
}

std::size_t measure() noexcept { return std::max(kFloor, std::min(machine_memory(), cgroup_limit())); }

#else

std::size_t measure() noexcept { return kUnlimited; }

#endif

}  // namespace

std::size_t memory_ceiling() noexcept {
    static const std::size_t ceiling = measure();
    return ceiling;
}

}  // namespace vak::heap
