// Checks that the core scan looks for stop requests while it works: a checker
// that counts polls, and stops the scan at a given poll.
//   core_scan_probe count   prints the polls of 4 M-word streams: mixed, one taste
//                           sequence, taste sequences back to back, and taste
//                           sequences each followed by a text word
//   core_scan_probe stop    stops each at its third poll ("stopped at 3")
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/interrupt.hpp"
#include "scan/core_scan.hpp"

namespace {

struct CountingChecker final : vak::interrupt::Checker {
    unsigned polls = 0;
    unsigned stop_at = 0;  // 0: never
    void poll() override {
        if (++polls == stop_at) throw vak::interrupt::Interrupted{};
    }
};

std::vector<std::uint32_t> mixed(std::size_t n) {
    std::vector<std::uint32_t> words(n);
    for (std::size_t k = 0; k < n; ++k)
        words[k] = static_cast<std::uint32_t>(k * 2654435761u) % 0x110000;
    return words;
}

std::vector<std::uint32_t> taste(std::size_t n) {
    std::vector<std::uint32_t> words(n, 0xB0400);
    words[0] = 0x80400;
    words[1] = 0x90400;
    words[2] = 0xA0400;
    return words;
}

std::vector<std::uint32_t> repeated(std::size_t n, std::vector<std::uint32_t> pattern) {
    std::vector<std::uint32_t> words(n);
    for (std::size_t k = 0; k < n; ++k) words[k] = pattern[k % pattern.size()];
    return words;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const bool stop = std::strcmp(argv[1], "stop") == 0;
    const std::size_t n = 4 << 20;
    for (const auto& stream : {mixed(n), taste(n), repeated(n, {0x80400, 0x90400, 0xA0400}),
                               repeated(n, {0x80400, 0x90400, 0xA0400, 0x41})}) {
        CountingChecker checker;
        checker.stop_at = stop ? 3 : 0;
        vak::interrupt::Scope scope(&checker);
        try {
            const auto record = vak::scan::scan_words(stream.data(), stream.size(), true);
            std::printf("%u\n", checker.polls);
        } catch (const vak::interrupt::Interrupted&) {
            std::printf("stopped at %u\n", checker.polls);
        }
    }
    return 0;
}
