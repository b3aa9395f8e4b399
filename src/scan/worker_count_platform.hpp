// What the operating system says about the processors this process may use.
// Linux reads the affinity mask and the cgroup quota (worker_count_linux.cpp);
// every other system falls back to the processor count of the standard library
// and knows no quota (worker_count_portable.cpp). Exactly one of the two files
// compiles to code on any system.
#pragma once

#include <cstddef>

#include "scan/worker_count.hpp"  // cgroup_cpu_limit, also platform-specific

namespace vak::scan {

// Processors in the CPU affinity mask (elsewhere: all online processors);
// 0 when unknown.
std::size_t affinity_cpus() noexcept;

}  // namespace vak::scan
