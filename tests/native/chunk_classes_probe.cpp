// Compares the vector classification of word chunks with the portable one on
// every 20-bit word and on random streams. Prints "ok" or the first difference.
#include <cstdio>
#include <cstring>
#include <random>

#include "scan/chunk_classes.hpp"

using namespace vak::scan;

namespace {

bool same_summary(const ChunkSummary& a, const ChunkSummary& b) {
    return a.changes == b.changes && a.any_taste_start == b.any_taste_start &&
           a.any_invalid == b.any_invalid &&
           std::memcmp(a.change_bits, b.change_bits, sizeof a.change_bits) == 0;
}

bool check(const std::uint32_t* words, std::size_t n, std::size_t available, const char* what) {
    static std::uint8_t vector_classes[kChunkSize], portable_classes[kChunkSize];
    ChunkSummary vector_summary, portable_summary;
    classify_chunk(words, n, available, vector_classes, vector_summary);
    portable::classify_chunk(words, n, available, portable_classes, portable_summary);
    for (std::size_t k = 0; k < n; ++k) {
        if (vector_classes[k] != portable_classes[k]) {
            std::printf("%s: class of word %zu (0x%x): %u vs %u\n", what, k, words[k],
                        vector_classes[k], portable_classes[k]);
            return false;
        }
    }
    if (!same_summary(vector_summary, portable_summary)) {
        std::printf("%s: summaries differ\n", what);
        return false;
    }
    for (std::size_t from = 0; from <= n; from += 97) {
        if (next_taste_mark(vector_classes, from, n) !=
            portable::next_taste_mark(vector_classes, from, n)) {
            std::printf("%s: next_taste_mark from %zu differs\n", what, from);
            return false;
        }
    }
    for (std::uint8_t value = 0; value <= kInvalidClass; ++value) {
        if (count_class(vector_classes, n, value) != portable::count_class(vector_classes, n, value)) {
            std::printf("%s: count_class %u differs\n", what, value);
            return false;
        }
    }
    return true;
}

}  // namespace

int main() {
    static std::uint32_t words[kChunkSize + 1];
    // Every valid word and the first invalid ones, each followed by a taste-sequence second word
    // half of the time, in chunks of every alignment.
    for (std::uint32_t base = 0; base < 0x110000; base += kChunkSize) {
        for (std::size_t k = 0; k <= kChunkSize; ++k) {
            const std::uint32_t w = base + static_cast<std::uint32_t>(k);
            words[k] = (k % 2 == 1 && (w & 2)) ? 0x90400 | (w & 0x3FF) : w;
        }
        if (!check(words, kChunkSize, kChunkSize + 1, "sweep")) return 1;
    }
    std::mt19937 rng(42);
    const std::uint32_t interesting[] = {0x80400, 0x90400, 0xA0400, 0xB0400, 0x100000, 0xFFFFFFFF,
                                         0x84000, 0x41,    0xC0100, 0x81000};
    for (int round = 0; round < 2000; ++round) {
        const std::size_t n = 1 + rng() % kChunkSize;
        const std::size_t available = n + rng() % 2;
        const bool runs = round % 2 == 0;
        std::uint32_t current = 0;
        for (std::size_t k = 0; k < available; ++k) {
            if (!runs || rng() % 16 == 0) {
                current = rng() % 3 == 0 ? interesting[rng() % 10] : rng() % 0x120000;
            }
            words[k] = current;
        }
        if (!check(words, n, available, "random")) return 1;
    }
    std::puts("ok");
    return 0;
}
