// The most memory one request may ask for: what the machine can give at all
// (physical memory plus swap, or the memory limit of the process's control
// group when that is lower). A larger request fails at once instead of reserving
// address space that the first pages written would turn into an out-of-memory kill.
#pragma once

#include <cstddef>

namespace vak::heap {

// Read once, on first use; never below 1 GiB, so a reading gone wrong cannot
// refuse ordinary requests.
std::size_t memory_ceiling() noexcept;

}  // namespace vak::heap
