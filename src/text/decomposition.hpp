// The parts of canonical decomposition (NFD) that the encoder's tables leave
// out: the first Hangul syllable, from which the syllables are decomposed by
// arithmetic, and the canonical ordering of a run of non-starters.
//
// Used by the module.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/heap_allocator.hpp"

namespace vak::text {

inline constexpr std::uint32_t kHangulFirst = 0xAC00;

// A non-starter waiting for canonical ordering: its class in bits 40 and up,
// its UTF-8 length in bits 32 to 39, its UTF-8 bytes in bits 0 to 31 (first
// byte lowest).
using PendingMark = std::uint64_t;

inline PendingMark pending_mark(const std::uint8_t* utf8, unsigned length, unsigned ccc) noexcept {
    std::uint32_t bytes = 0;
    for (unsigned k = 0; k < length; ++k) bytes |= std::uint32_t{utf8[k]} << (8 * k);
    return (PendingMark{ccc} << 40) | (PendingMark{length} << 32) | bytes;
}
inline unsigned mark_class(PendingMark mark) noexcept {
    return static_cast<unsigned>(mark >> 40);
}
inline unsigned mark_length(PendingMark mark) noexcept {
    return (mark >> 32) & 0xFF;
}

// Stably sorts a run of non-starters by combining class (canonical ordering).
// Linear in the run length; `scratch` is reused between runs.
void sort_marks(Vec<PendingMark>& marks, Vec<PendingMark>& scratch);

}  // namespace vak::text
