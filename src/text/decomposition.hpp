// Canonical decomposition (NFD) data outside the encoder's quick check: the
// full canonical decomposition of one code point and its canonical combining
// class, and the canonical ordering of a run of non-starters. Compatibility
// mappings are never applied.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/mi_allocator.hpp"
#include "text/unicode_tables.hpp"

namespace vak::text {

// Canonical combining class; 0 for starters. `cp` must be a Unicode scalar value.
inline std::uint8_t combining_class(std::uint32_t cp) noexcept {
    return tables::kCombiningClassBlocks[tables::kCombiningClassIndex[cp >> tables::kBlockShift]]
                                        [cp & (tables::kBlockSize - 1)];
}

inline constexpr std::uint32_t kHangulFirst = 0xAC00;
inline constexpr std::uint32_t kHangulLast = 0xD7A3;

inline bool is_hangul_syllable(std::uint32_t cp) noexcept {
    return cp - kHangulFirst <= kHangulLast - kHangulFirst;
}

// The tabled full canonical decomposition of a code point other than a Hangul
// syllable; length 0 when it has none.
struct CanonicalMapping {
    const std::uint32_t* code_points;
    std::size_t length;
};

inline CanonicalMapping canonical_mapping(std::uint32_t cp) noexcept {
    const std::uint16_t entry =
        tables::kDecompositionBlocks[tables::kDecompositionIndex[cp >> tables::kBlockShift]]
                                    [cp & (tables::kBlockSize - 1)];
    return {tables::kDecompositionData + (entry >> 3), entry & 7u};
}

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
