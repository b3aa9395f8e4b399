#include "registry/word_sort.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>

#include "common/interrupt.hpp"

namespace vak::registry {

namespace {

// Below this a comparison sort finishes well within a signal interval.
constexpr std::size_t kRadixFrom = std::size_t{1} << 16;
// Elements between two polls.
constexpr std::size_t kPollEvery = std::size_t{1} << 16;

constexpr unsigned kDigitBits = 11;
constexpr unsigned kPasses = 3;  // 11 + 11 + 10 bits
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;

unsigned digit(std::uint32_t word, unsigned pass) noexcept {
    return (word >> (pass * kDigitBits)) & (kBuckets - 1);
}

// Least significant digit first; each pass is stable, so the result is sorted.
void radix_sort(WordVec& words) {
    const std::size_t n = words.size();
    WordVec buffer(n);  // sized without being written
    // The three histograms, counted in one sweep; off the stack (24 KiB).
    Vec<std::array<std::size_t, kBuckets>> counts(kPasses);
    for (std::size_t begin = 0; begin < n; begin += kPollEvery) {
        interrupt::poll();
        const std::size_t end = std::min(n, begin + kPollEvery);
        for (std::size_t i = begin; i < end; ++i) {
            for (unsigned pass = 0; pass < kPasses; ++pass) ++counts[pass][digit(words[i], pass)];
        }
    }
    std::uint32_t* from = words.data();
    std::uint32_t* to = buffer.data();
    for (unsigned pass = 0; pass < kPasses; ++pass) {
        std::size_t offset = 0;
        for (std::size_t& count : counts[pass]) offset += std::exchange(count, offset);
        for (std::size_t begin = 0; begin < n; begin += kPollEvery) {
            interrupt::poll();
            const std::size_t end = std::min(n, begin + kPollEvery);
            for (std::size_t i = begin; i < end; ++i) {
                to[counts[pass][digit(from[i], pass)]++] = from[i];
            }
        }
        std::swap(from, to);
    }
    // An odd number of passes leaves the result in the buffer.
    if (from != words.data()) words.swap(buffer);
}

void remove_repeats(WordVec& words) {
    const std::size_t n = words.size();
    if (n == 0) return;
    std::size_t kept = 1;
    for (std::size_t begin = 1; begin < n; begin += kPollEvery) {
        interrupt::poll();
        const std::size_t end = std::min(n, begin + kPollEvery);
        for (std::size_t i = begin; i < end; ++i) {
            if (words[i] != words[kept - 1]) words[kept++] = words[i];
        }
    }
    words.resize(kept);
}

}  // namespace

void sort_distinct(WordVec& words) {
    if (words.size() < kRadixFrom) {
        std::sort(words.begin(), words.end());
    } else {
        radix_sort(words);
    }
    remove_repeats(words);
}

}  // namespace vak::registry
