// Internal invariants: states no input can reach. A broken one is a bug, so the
// process reports where it broke and aborts instead of raising into Python.
#pragma once

namespace vak {

[[noreturn]] void invariant_failed(const char* expectation, const char* file, int line) noexcept;

}  // namespace vak

#define VAK_EXPECT(cond, message)                                            \
    do {                                                                     \
        if (!(cond)) ::vak::invariant_failed((message), __FILE__, __LINE__); \
    } while (0)
