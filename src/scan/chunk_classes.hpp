// Classifies a chunk of entries at once (vectorised where the processor allows).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vak::scan {

// Entry classes: modality indexes 0..8 from the word tables, kInvalidClass for an
// entry that is not a valid word. kMayStartTaste marks a word shaped like the first
// word of a taste sequence that is followed by one shaped like the second; only
// they need the full test.
inline constexpr std::uint8_t kInvalidClass = 10;
inline constexpr std::uint8_t kMayStartTaste = 0x80;

inline constexpr std::size_t kChunkSize = 2048;

struct ChunkSummary {
    std::size_t changes = 0;       // positions whose class differs from the previous one
    bool any_taste_start = false;  // some class carries kMayStartTaste
    bool any_invalid = false;
    // Bit k set when classes[k] differs from classes[k - 1] (bit 0 always clear).
    std::uint64_t change_bits[kChunkSize / 64] = {};
};

// Writes the class of words[k] to classes[k] for k < n (n <= kChunkSize) and
// summarises them. `available` (>= n) is how many words may be read from `words`.
void classify_chunk(const std::uint32_t* words, std::size_t n, std::size_t available,
                    std::uint8_t* classes, ChunkSummary& summary);

// The first k in [from, n) whose class carries kMayStartTaste, or n.
std::size_t next_taste_mark(const std::uint8_t* classes, std::size_t from, std::size_t n);

// How many of classes[0..n) equal `value`.
std::size_t count_class(const std::uint8_t* classes, std::size_t n, std::uint8_t value);

// The same three operations without vector instructions: what runs on processors
// without AVX2, and the reference the vector path is checked against.
namespace portable {
void classify_chunk(const std::uint32_t* words, std::size_t n, std::size_t available,
                    std::uint8_t* classes, ChunkSummary& summary);
std::size_t next_taste_mark(const std::uint8_t* classes, std::size_t from, std::size_t n);
std::size_t count_class(const std::uint8_t* classes, std::size_t n, std::uint8_t value);
}  // namespace portable

}  // namespace vak::scan
