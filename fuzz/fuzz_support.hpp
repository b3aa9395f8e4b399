// What every fuzz harness shares: a failed check reports and aborts, so that
// the fuzzer keeps the input as a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "common/kernel_choice.hpp"

#define FUZZ_CHECK(cond, ...)                                                                    \
    do {                                                                                         \
        if (!(cond)) {                                                                           \
            std::fprintf(stderr, "fuzz check failed at %s:%d: %s\n", __FILE__, __LINE__, #cond); \
            std::fprintf(stderr, "  " __VA_ARGS__);                                              \
            std::fprintf(stderr, "\n");                                                          \
            std::abort();                                                                        \
        }                                                                                        \
    } while (0)

namespace fuzz {

// For the harnesses whose code has vector kernels, from LLVMFuzzerInitialize:
// the path follows VAK_ORN_KERNEL_SCAN_PATH, and fuzz/run.sh reads this line to
// tell which path a run exercises.
inline void report_kernel_path() {
    std::fprintf(stderr, "kernel path: %s\n",
                 vak::kernel_choice::path_name(vak::kernel_choice::active()));
}

// Reads the fuzzer's bytes front to back; past the end it yields zeros.
class ByteReader {
public:
    ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return pos_ >= size_; }
    std::size_t remaining() const { return pos_ < size_ ? size_ - pos_ : 0; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint32_t u32le() {
        std::uint32_t v = 0;
        for (unsigned k = 0; k < 4; ++k) v |= std::uint32_t{byte()} << (8 * k);
        return v;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace fuzz
