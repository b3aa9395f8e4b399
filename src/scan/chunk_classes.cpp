#include "scan/chunk_classes.hpp"

#include <algorithm>
#include <array>

#include "scan/word_model.hpp"

namespace vak::scan {

namespace {

// Every valid word's class by bits 19-8, then one entry for every invalid word.
constexpr std::array<std::uint8_t, kClassifiedValues + 1> kClassTable = [] {
    std::array<std::uint8_t, kClassifiedValues + 1> table{};
    for (std::uint32_t bits = 0; bits < kClassifiedValues; ++bits) {
        table[bits] = classify_bits(bits);
    }
    table[kClassifiedValues] = kInvalidClass;
    return table;
}();

// The class of one word, from the table (the reference for the vector paths).
std::uint8_t class_of(std::uint32_t word) {
    return kClassTable[std::min<std::uint32_t>(word >> kFlagByteShift, kClassifiedValues)];
}

void classify_chunk(const std::uint32_t* words, std::size_t n, std::size_t available,
                    std::uint8_t* classes, ChunkSummary& summary) {
    summary = ChunkSummary{};
    portable::classify_range(words, 0, n, available, classes);
    portable::summarise_range(classes, 0, n, summary);
}

std::size_t next_taste_mark(const std::uint8_t* classes, std::size_t from, std::size_t n) {
    for (std::size_t k = from; k < n; ++k) {
        if (classes[k] & kMayStartTaste) return k;
    }
    return n;
}

std::size_t count_class(const std::uint8_t* classes, std::size_t n, std::uint8_t value) {
    std::size_t count = 0;
    for (std::size_t k = 0; k < n; ++k) count += classes[k] == value;
    return count;
}

}  // namespace

namespace portable {

void classify_range(const std::uint32_t* words, std::size_t from, std::size_t n,
                    std::size_t available, std::uint8_t* classes) {
    for (std::size_t k = from; k < n; ++k) {
        std::uint8_t cls = class_of(words[k]);
        if (is_taste_head(words[k], 0x8) && k + 1 < available && is_taste_head(words[k + 1], 0x9)) {
            cls |= kMayStartTaste;
        }
        classes[k] = cls;
    }
}

void summarise_range(const std::uint8_t* classes, std::size_t from, std::size_t n,
                     ChunkSummary& summary) {
    std::uint8_t any = 0;
    for (std::size_t k = from; k < n; ++k) {
        any |= classes[k];
        summary.any_invalid |= classes[k] == kInvalidClass;
        if (k > 0 && classes[k] != classes[k - 1]) {
            summary.change_bits[k / 64] |= std::uint64_t{1} << (k % 64);
            ++summary.changes;
        }
    }
    summary.any_taste_start |= (any & kMayStartTaste) != 0;
}

// Word by word without branching on the class: every entry is written to its
// lane's cursor (invalid ones into the drop lane's scratch), and every entry
// writes a span start that only a lane change keeps.
unsigned append_mixed(const std::uint32_t* words, const std::uint8_t* classes, std::size_t n,
                      LaneCursor* lanes, unsigned prev_lane) {
    unsigned prev = prev_lane;
    for (std::size_t k = 0; k < n; ++k) {
        LaneCursor& lane = lanes[kLaneOf[classes[k]]];
        const unsigned index = kLaneOf[classes[k]];
        std::uint32_t* out = lane.words;
        *out = words[k];
        lane.words = out + 1;
        *lane.starts = static_cast<std::uint32_t>(out - lane.base);
        lane.starts += index != prev;
        prev = index;
    }
    return prev;
}

}  // namespace portable

const ChunkKernels kPortableKernels = {classify_chunk, next_taste_mark, count_class,
                                       portable::append_mixed};

const ChunkKernels& kernels_for(kernel_choice::Path path) {
    using kernel_choice::Path;
    switch (path) {
#ifdef VAK_X86_64
        case Path::kAvx2: return kAvx2Kernels;
        case Path::kAvx512: return kAvx512Kernels;
#else
        case Path::kAvx2:
        case Path::kAvx512:
#endif
        case Path::kPortable: break;
    }
    return kPortableKernels;
}

const ChunkKernels& active_kernels() {
    return kernels_for(kernel_choice::active());
}

}  // namespace vak::scan
