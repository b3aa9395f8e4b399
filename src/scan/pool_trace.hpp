// Development aid, for tests and benchmarks only: with VAK_ORN_KERNEL_DEBUG_POOL=1
// in the environment (read once: when the module is imported, which settles its
// process-wide choices; in a native program, when the pool is first needed), the
// pool reports its size and every batch the duration of its parallel phase on
// standard error:
//   vak_orn_kernel: worker pool size N
//   vak_orn_kernel: parallel phase N streams T ns
// Otherwise nothing is written, and nothing is timed.
#pragma once

#include <cstddef>

namespace vak::scan::pool_trace {

bool enabled() noexcept;

void report_pool_size(std::size_t size) noexcept;

// Times one batch's parallel phase from construction to finish().
class ParallelPhase {
public:
    explicit ParallelPhase(std::size_t streams) noexcept;
    void finish() noexcept;
    // For a batch whose number of streams was known only at the end.
    void finish(std::size_t streams) noexcept {
        streams_ = streams;
        finish();
    }

private:
    std::size_t streams_;
    long long start_ns_ = 0;
};

}  // namespace vak::scan::pool_trace
