#include "common/kernel_choice.hpp"

#include <cstdlib>

namespace vak::kernel_choice {

namespace detail {
constinit std::atomic<std::uint8_t> g_active{kUnsettled};
}  // namespace detail

const char* path_name(Path path) noexcept {
    switch (path) {
        case Path::kAvx2: return "avx2";
        case Path::kAvx512: return "avx512";
        case Path::kPortable: break;
    }
    return "portable";
}

std::optional<Path> path_named(std::string_view name) noexcept {
    for (Path path : kAllPaths) {
        if (name == path_name(path)) return path;
    }
    return std::nullopt;
}

bool path_supported(Path path) noexcept {
    switch (path) {
        case Path::kPortable: return true;
#ifdef VAK_X86_64
        case Path::kAvx2: return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2");
        case Path::kAvx512:
            // The checks include the operating system's support for the vector state.
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("bmi2");
#else
        case Path::kAvx2:
        case Path::kAvx512: return false;  // x86-64 paths only
#endif
    }
    return false;
}

Path choose(const char* request) noexcept {
    if (request != nullptr) {
        const std::optional<Path> named = path_named(request);
        if (named && path_supported(*named)) return *named;
    }
    for (Path path : {Path::kAvx512, Path::kAvx2}) {
        if (path_supported(path)) return path;
    }
    return Path::kPortable;
}

Path settle() noexcept {
    const std::uint8_t settled = detail::g_active.load(std::memory_order_relaxed);
    if (settled != detail::kUnsettled) return static_cast<Path>(settled);
    // Threads that settle at once read the same switch and processor, so they
    // store the same value.
    const Path chosen = choose(std::getenv(kPathSwitch));
    detail::g_active.store(static_cast<std::uint8_t>(chosen), std::memory_order_relaxed);
    return chosen;
}

}  // namespace vak::kernel_choice
