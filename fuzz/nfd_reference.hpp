// The text fuzzer's model data: every non-zero canonical combining class and
// every code point's canonical decomposition (NFD) but Hangul syllables', as
// sorted lists taken straight from unicodedata2 by tools/gen_unicode_tables.py.
// The encoder's own tables come from another path of that generator; these
// share none of it, so that the model can catch a fault there. Looked up by
// binary search: slow next to the encoder's tables, and plain.
//
// Used only by the text fuzzer (fuzz/encode_text_fuzzer.cpp).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace nfd_reference {

inline constexpr std::size_t kLongestDecomposition = 4;

struct ClassEntry {
    std::uint32_t code_point;
    std::uint8_t combining_class;
};

struct DecompositionEntry {
    std::uint32_t code_point;
    std::uint8_t length;
    std::uint32_t parts[kLongestDecomposition];
};

extern const ClassEntry kCombiningClasses[];
extern const std::size_t kCombiningClassCount;
extern const DecompositionEntry kDecompositions[];
extern const std::size_t kDecompositionCount;

template <class Entry>
const Entry* find(const Entry* entries, std::size_t count, std::uint32_t cp) {
    const Entry* end = entries + count;
    const Entry* it = std::lower_bound(
        entries, end, cp, [](const Entry& e, std::uint32_t value) { return e.code_point < value; });
    return it != end && it->code_point == cp ? it : nullptr;
}

// Canonical combining class; 0 for starters.
inline std::uint8_t combining_class(std::uint32_t cp) {
    const ClassEntry* entry = find(kCombiningClasses, kCombiningClassCount, cp);
    return entry == nullptr ? 0 : entry->combining_class;
}

// The NFD of a code point other than a Hangul syllable; nullptr when it is the
// code point itself.
inline const DecompositionEntry* decomposition(std::uint32_t cp) {
    return find(kDecompositions, kDecompositionCount, cp);
}

}  // namespace nfd_reference
