// Which instruction set the scanner's chunk kernels use: chosen once per process.
#pragma once

#include <optional>
#include <string_view>

namespace vak::scan {

enum class ScanPath { kPortable, kAvx2, kAvx512 };
inline constexpr ScanPath kAllScanPaths[] = {ScanPath::kPortable, ScanPath::kAvx2,
                                             ScanPath::kAvx512};

// "portable", "avx2", "avx512": the values of the environment switch.
const char* path_name(ScanPath path);
std::optional<ScanPath> path_named(std::string_view name);

// Whether this processor (and its operating system) runs the path.
bool path_supported(ScanPath path);

// The path a process takes: the one VAK_ORN_KERNEL_SCAN_PATH names when this
// processor runs it, otherwise the fastest it runs. `request` is the variable's
// value (nullptr when unset).
ScanPath choose_path(const char* request);

// choose_path of the environment, decided on the first call and kept.
ScanPath active_path();

}  // namespace vak::scan
