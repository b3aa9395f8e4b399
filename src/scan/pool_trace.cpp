#include "scan/pool_trace.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vak::scan::pool_trace {

namespace {

long long now_ns() noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

bool enabled() noexcept {
    static const bool on = [] {
        const char* value = std::getenv("VAK_ORN_KERNEL_DEBUG_POOL");
        return value != nullptr && std::strcmp(value, "1") == 0;
    }();
    return on;
}

void report_pool_size(std::size_t size) noexcept {
    if (!enabled()) return;
    std::fprintf(stderr, "vak_orn_kernel: worker pool size %zu\n", size);
    std::fflush(stderr);
}

ParallelPhase::ParallelPhase(std::size_t streams) noexcept : streams_(streams) {
    if (enabled()) start_ns_ = now_ns();
}

void ParallelPhase::finish() noexcept {
    if (!enabled()) return;
    std::fprintf(stderr, "vak_orn_kernel: parallel phase %zu streams %lld ns\n", streams_,
                 now_ns() - start_ns_);
    std::fflush(stderr);
}

}  // namespace vak::scan::pool_trace
