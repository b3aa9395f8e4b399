// The scan result record: what the core scan produces for one stream.
#pragma once

#include <array>
#include <cstdint>

#include "common/heap_allocator.hpp"
#include "scan/modality.hpp"

namespace vak::scan {

// An entry that is not a valid word, noted when the caller records them; the
// module writes its message ("index {i}: ...").
struct InvalidEntry {
    std::uint64_t index;
    std::uint32_t word;  // the entry's value; kItemError for an item error
};

// Marks the entries of the tolerant path whose items could not be read as words.
inline constexpr std::uint32_t kItemError = 0xFFFFFFFFu;

struct ScanRecord {
    PayloadVec text_words;
    Vec<InvalidEntry> invalid_entries;  // in stream order
    // Indexed by segment slot 0..7 (kSegmentModalities order).
    std::array<PayloadVec, kSegmentModalityCount> words;
    std::array<PayloadVec, kSegmentModalityCount> spans;
    std::array<std::uint64_t, kModalityCount> counts{};
};

}  // namespace vak::scan
