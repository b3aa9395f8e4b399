// The word model: validity, modality classification and the taste sequence.
#pragma once

#include <cstddef>
#include <cstdint>

#include "scan/modality.hpp"

namespace vak::scan {

// Modality of a range-2 word from its flag byte (bits 15-8): the first set bit
// in the order 14 music, 13 voice, 15 diagram, 12 inline, 11 touch, 10 image,
// 9 smell, 8 mental decides; no bit set means text.
constexpr Modality flag_byte_modality(std::uint32_t flag) {
    if (flag & 0x40) return kMusic;
    if (flag & 0x20) return kVoice;
    if (flag & 0x80) return kDiagram;
    if (flag & 0x10) return kInline;
    if (flag & 0x08) return kTouch;
    if (flag & 0x04) return kImage;
    if (flag & 0x02) return kSmell;
    if (flag & 0x01) return kMental;
    return kText;
}

// Modality of a valid word outside a taste sequence, from bits 19-8.
constexpr Modality classify_bits(std::uint32_t bits_19_8) {
    const std::uint32_t range = bits_19_8 >> 10;
    const std::uint32_t flag = bits_19_8 & 0xFF;
    if (range == 2) return flag_byte_modality(flag);
    if (range == 3) return (flag & 0x01) ? kMental : kText;
    return kText;
}

// Taste sequence words: a valid word with the sequence bit (0x400) and a given top nibble.
constexpr bool is_taste_head(std::uint32_t w, std::uint32_t nibble) {
    return (w & 0xFFFF0400u) == ((nibble << 16) | 0x400u);
}
constexpr bool is_taste_continuation(std::uint32_t w) {
    return (w & 0xFFFE0400u) == 0xA0400u;
}

// Whether a taste sequence starts at i: three head words in a row.
constexpr bool taste_sequence_starts(const std::uint32_t* words, std::size_t n, std::size_t i) {
    return i + 2 < n && is_taste_head(words[i], 0x8) && is_taste_head(words[i + 1], 0x9) &&
           is_taste_head(words[i + 2], 0xA);
}

}  // namespace vak::scan
