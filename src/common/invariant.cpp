#include "common/invariant.hpp"

#include <cstdio>
#include <cstdlib>

namespace vak {

void invariant_failed(const char* expectation, const char* file, int line) noexcept {
    std::fprintf(stderr, "vak_orn_kernel: internal invariant failed: %s (at %s:%d)\n", expectation,
                 file, line);
    std::fflush(stderr);
    std::abort();
}

}  // namespace vak
