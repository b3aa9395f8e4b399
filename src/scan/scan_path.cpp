#include "scan/scan_path.hpp"

#include <cstdlib>

namespace vak::scan {

const char* path_name(ScanPath path) {
    switch (path) {
        case ScanPath::kAvx2: return "avx2";
        case ScanPath::kAvx512: return "avx512";
        case ScanPath::kPortable: break;
    }
    return "portable";
}

std::optional<ScanPath> path_named(std::string_view name) {
    for (ScanPath path : kAllScanPaths) {
        if (name == path_name(path)) return path;
    }
    return std::nullopt;
}

bool path_supported(ScanPath path) {
    switch (path) {
        case ScanPath::kPortable: return true;
#if defined(__x86_64__) || defined(__i386__)
        case ScanPath::kAvx2:
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2");
        case ScanPath::kAvx512:
            // The checks include the operating system's support for the vector state.
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("bmi2");
#else
        case ScanPath::kAvx2:
        case ScanPath::kAvx512: return false;  // x86 paths only
#endif
    }
    return false;
}

ScanPath choose_path(const char* request) {
    if (request != nullptr) {
        const std::optional<ScanPath> named = path_named(request);
        if (named && path_supported(*named)) return *named;
    }
    for (ScanPath path : {ScanPath::kAvx512, ScanPath::kAvx2}) {
        if (path_supported(path)) return path;
    }
    return ScanPath::kPortable;
}

ScanPath active_path() {
    static const ScanPath chosen = choose_path(std::getenv("VAK_ORN_KERNEL_SCAN_PATH"));
    return chosen;
}

}  // namespace vak::scan
