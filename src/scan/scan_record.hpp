// The scan result record: what the core scan produces for one stream.
#pragma once

#include <array>
#include <cstdint>

#include "common/mi_allocator.hpp"
#include "scan/modality.hpp"

namespace vak::scan {

struct ScanRecord {
    PayloadVec text_words;
    Vec<MiString> validation_errors;
    // Indexed by segment slot 0..7 (kSegmentModalities order).
    std::array<PayloadVec, kSegmentModalityCount> words;
    std::array<PayloadVec, kSegmentModalityCount> spans;
    std::array<std::uint64_t, kModalityCount> counts{};
};

}  // namespace vak::scan
