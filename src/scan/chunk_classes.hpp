// The scanner's chunk kernels: classify a chunk of entries at once and append
// its words to their lanes. One set per instruction set; the process's path
// (common/kernel_choice.hpp) picks the set.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/kernel_choice.hpp"
#include "scan/lanes.hpp"

namespace vak::scan {

inline constexpr std::size_t kChunkSize = 2048;

struct ChunkSummary {
    std::size_t changes = 0;       // positions whose class differs from the previous one
    bool any_taste_start = false;  // some class carries kMayStartTaste
    bool any_invalid = false;
    // Bit k set when classes[k] differs from classes[k - 1] (bit 0 always clear).
    std::uint64_t change_bits[kChunkSize / 64] = {};
};

struct ChunkKernels {
    // Writes the class of words[k] to classes[k] for k < n (n <= kChunkSize) and
    // summarises them. `available` (>= n) is how many words may be read from `words`.
    void (*classify_chunk)(const std::uint32_t* words, std::size_t n, std::size_t available,
                           std::uint8_t* classes, ChunkSummary& summary);
    // The first k in [from, n) whose class carries kMayStartTaste, or n.
    std::size_t (*next_taste_mark)(const std::uint8_t* classes, std::size_t from, std::size_t n);
    // How many of classes[0..n) equal `value`.
    std::size_t (*count_class)(const std::uint8_t* classes, std::size_t n, std::uint8_t value);
    // Appends words[k] to lane kLaneOf[classes[k]] for k < n (no taste marks left),
    // recording a span start where a segment lane's run begins; `prev_lane` is the
    // lane of the entry before words[0]. Returns the lane of words[n - 1] (or
    // prev_lane). Every lane has room for n + kAppendSlack words and starts; the
    // text and drop lanes' starts, and the drop lane's words, go to scratch areas.
    unsigned (*append_mixed)(const std::uint32_t* words, const std::uint8_t* classes, std::size_t n,
                             LaneCursor* lanes, unsigned prev_lane);
};

// The kernels of a path (whether or not this processor runs it), and those of the
// process's path.
const ChunkKernels& kernels_for(kernel_choice::Path path);
const ChunkKernels& active_kernels();

// Pieces of the portable kernels that the vector kernels finish their chunks with.
namespace portable {
void classify_range(const std::uint32_t* words, std::size_t from, std::size_t n,
                    std::size_t available, std::uint8_t* classes);
void summarise_range(const std::uint8_t* classes, std::size_t from, std::size_t n,
                     ChunkSummary& summary);
unsigned append_mixed(const std::uint32_t* words, const std::uint8_t* classes, std::size_t n,
                      LaneCursor* lanes, unsigned prev_lane);
}  // namespace portable

// Each kernel file defines its path's set.
extern const ChunkKernels kPortableKernels;
extern const ChunkKernels kAvx2Kernels;
extern const ChunkKernels kAvx512Kernels;

}  // namespace vak::scan
