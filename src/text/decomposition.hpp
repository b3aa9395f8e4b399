// Canonical decomposition (NFD): the full canonical decomposition of one code
// point, its canonical combining class, and the canonical ordering of a run of
// non-starters. Compatibility mappings are never applied.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/mi_allocator.hpp"
#include "text/unicode_tables.hpp"

namespace vak::text {

// Longest full canonical decomposition of any code point, Hangul included.
inline constexpr std::size_t kMaxDecomposition =
    tables::kLongestDecomposition > 3 ? tables::kLongestDecomposition : 3;

// Canonical combining class; 0 for starters. `cp` must be a Unicode scalar value.
inline std::uint8_t combining_class(std::uint32_t cp) noexcept {
    return tables::kCombiningClassBlocks[tables::kCombiningClassIndex[cp >> tables::kBlockShift]]
                                        [cp & (tables::kBlockSize - 1)];
}

inline constexpr std::uint32_t kHangulFirst = 0xAC00;
inline constexpr std::uint32_t kHangulLast = 0xD7A3;

// Writes the full canonical decomposition of `cp` to `out` (room for
// kMaxDecomposition code points) and returns its length. A code point without
// a mapping decomposes to itself. Hangul syllables are split arithmetically.
inline std::size_t decompose(std::uint32_t cp, std::uint32_t* out) noexcept {
    if (cp - kHangulFirst <= kHangulLast - kHangulFirst) {
        const std::uint32_t s = cp - kHangulFirst;
        out[0] = 0x1100 + s / 588;
        out[1] = 0x1161 + (s % 588) / 28;
        if (s % 28 == 0) return 2;
        out[2] = 0x11A7 + s % 28;
        return 3;
    }
    const std::uint16_t entry =
        tables::kDecompositionBlocks[tables::kDecompositionIndex[cp >> tables::kBlockShift]]
                                    [cp & (tables::kBlockSize - 1)];
    if (entry == 0) {
        out[0] = cp;
        return 1;
    }
    const std::uint32_t* mapping = tables::kDecompositionData + (entry >> 3);
    const std::size_t length = entry & 7u;
    for (std::size_t i = 0; i < length; ++i) out[i] = mapping[i];
    return length;
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
