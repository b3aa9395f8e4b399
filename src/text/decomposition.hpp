// Canonical decomposition (NFD): the full canonical decomposition of one code
// point, its canonical combining class, and the canonical ordering of a run of
// non-starters. Compatibility mappings are never applied.
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

// Splits a Hangul syllable into its two or three conjoining jamo (all
// starters) and returns how many.
inline std::size_t decompose_hangul(std::uint32_t cp, std::uint32_t* out) noexcept {
    const std::uint32_t s = cp - kHangulFirst;
    out[0] = 0x1100 + s / 588;
    out[1] = 0x1161 + (s % 588) / 28;
    if (s % 28 == 0) return 2;
    out[2] = 0x11A7 + s % 28;
    return 3;
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

// A non-starter waiting for canonical ordering: class in the top byte, code
// point in the low 21 bits.
inline std::uint32_t pack_mark(std::uint32_t cp, std::uint8_t ccc) noexcept {
    return (std::uint32_t{ccc} << 24) | cp;
}
inline std::uint32_t mark_code_point(std::uint32_t mark) noexcept { return mark & 0x1FFFFF; }

// Stably sorts a run of packed non-starters by combining class (canonical
// ordering). Linear in the run length; `scratch` is reused between runs.
void sort_marks(Vec<std::uint32_t>& marks, Vec<std::uint32_t>& scratch);

}  // namespace vak::text
