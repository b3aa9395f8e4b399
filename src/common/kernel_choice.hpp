// Which instruction set the vector kernels run. The scanner's chunk kernels, the
// text encoder's byte scans and the image encoder's block sums all ask here, so
// that one switch moves them together and every test can force the portable code.
//
// The choice is settled at import (before any worker thread exists) and kept in a
// plain atomic: a lazily initialised static would take a lock that a fork() on
// another thread could leave held in the child.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string_view>

// Defined where the x86-64 kernels are compiled; elsewhere only the portable code exists.
#if defined(__x86_64__) || defined(_M_X64)
#define VAK_X86_64 1
#endif

namespace vak::kernel_choice {

// Ordered by width: a process on one path may run the kernels of every narrower one.
enum class Path : std::uint8_t { kPortable, kAvx2, kAvx512 };
inline constexpr Path kAllPaths[] = {Path::kPortable, Path::kAvx2, Path::kAvx512};

// A development aid: "portable", "avx2" or "avx512" forces that path on every
// vector kernel when this processor runs it; any other value, or none, leaves
// the choice to the processor (the widest path it runs).
inline constexpr const char* kPathSwitch = "VAK_ORN_KERNEL_SCAN_PATH";

// The switch's values.
const char* path_name(Path path) noexcept;
std::optional<Path> path_named(std::string_view name) noexcept;

// Whether this processor, and its operating system, runs the path: "avx2" needs
// AVX2 and BMI2, "avx512" AVX-512 F, BW and VL and BMI2.
bool path_supported(Path path) noexcept;

// The path a process takes for a value of the switch (nullptr when unset).
Path choose(const char* request) noexcept;

// Reads the switch once and keeps the choice; later calls return it.
Path settle() noexcept;

namespace detail {
inline constexpr std::uint8_t kUnsettled = 0xFF;
extern std::atomic<std::uint8_t> g_active;
}  // namespace detail

// The process's path (settled on first use where nothing settled it before).
inline Path active() noexcept {
    const std::uint8_t path = detail::g_active.load(std::memory_order_relaxed);
    if (path != detail::kUnsettled) [[likely]] {
        return static_cast<Path>(path);
    }
    return settle();
}

// Whether kernels written for `path` may run: the process's path is it or wider.
inline bool allows(Path path) noexcept {
    return active() >= path;
}

}  // namespace vak::kernel_choice
