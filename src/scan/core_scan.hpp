// The core scan: one pass over a stream's entries into a ScanRecord.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/heap_allocator.hpp"
#include "scan/scan_record.hpp"

namespace vak::scan {

// Spans hold 32-bit starts and lengths, so longer streams cannot be described.
inline constexpr std::size_t kMaxStreamLength = 0xFFFFFFFFu;

// Scans n words (values above 0xFFFFF, kItemError among them, are invalid
// entries, noted in the record when `record_invalid`). Runs without the
// interpreter lock on any thread; throws std::bad_alloc when memory runs out.
ScanRecord scan_words(const std::uint32_t* words, std::size_t n, bool record_invalid);

}  // namespace vak::scan
