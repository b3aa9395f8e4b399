// The word model: validity, modality classification and the taste sequence.
// Every kernel and binding that tests words takes its masks and tables from here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "scan/modality.hpp"

namespace vak::scan {

// A word is valid when no bit above its low 20 is set.
inline constexpr unsigned kWordBits = 20;
inline constexpr std::uint32_t kWordMask = (std::uint32_t{1} << kWordBits) - 1;
inline constexpr std::uint32_t kOutOfRangeBits = ~kWordMask;
static_assert(kWordMask == 0xFFFFF);

constexpr bool is_valid_word(std::uint32_t w) {
    return (w & kOutOfRangeBits) == 0;
}

// The fields a valid word is classified by: the range (bits 19-18) and the flag
// byte (bits 15-8). Range 2 is decided by the whole flag byte, range 3 by its
// bit 0 (the mental bit), ranges 0 and 1 are text.
inline constexpr unsigned kRangeShift = 18;
inline constexpr unsigned kFlagByteShift = 8;
inline constexpr std::uint32_t kFlagByteRange = 2;
inline constexpr std::uint32_t kMentalBitRange = 3;
inline constexpr std::uint32_t kMentalFlag = 0x01;

// How many values bits 19-8 of a valid word take: a table of this size, indexed by
// w >> kFlagByteShift, classifies every valid word.
inline constexpr std::uint32_t kClassifiedValues = (kWordMask >> kFlagByteShift) + 1;

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
    if (flag & kMentalFlag) return kMental;
    return kText;
}

// Modality of a valid word outside a taste sequence, from bits 19-8.
constexpr Modality classify_bits(std::uint32_t bits_19_8) {
    const std::uint32_t range = bits_19_8 >> (kRangeShift - kFlagByteShift);
    const std::uint32_t flag = bits_19_8 & 0xFF;
    if (range == kFlagByteRange) return flag_byte_modality(flag);
    if (range == kMentalBitRange) return (flag & kMentalFlag) ? kMental : kText;
    return kText;
}

// The flag-byte rule split by nibble, for kernels that look classes up with byte
// shuffles: every bit of the high nibble ranks above the low nibble's, so a set
// high nibble alone decides; 0 in the high table means "the low nibble decides".
inline constexpr std::array<std::uint8_t, 16> kHighNibbleModality = [] {
    std::array<std::uint8_t, 16> table{};
    for (std::uint32_t high = 1; high < 16; ++high) table[high] = flag_byte_modality(high << 4);
    return table;
}();
inline constexpr std::array<std::uint8_t, 16> kLowNibbleModality = [] {
    std::array<std::uint8_t, 16> table{};
    for (std::uint32_t low = 0; low < 16; ++low) table[low] = flag_byte_modality(low);
    return table;
}();

constexpr bool nibble_split_matches_the_rule() {
    for (std::uint32_t flag = 0; flag < 256; ++flag) {
        const std::uint8_t high = kHighNibbleModality[flag >> 4];
        if ((flag >> 4) != 0 && high == kText) return false;  // would pass to the low nibble
        if ((high != kText ? high : kLowNibbleModality[flag & 0xF]) != flag_byte_modality(flag)) {
            return false;
        }
    }
    return true;
}
static_assert(kText == 0 && nibble_split_matches_the_rule());
// A kernel that shuffles a nibble held in a 32-bit lane looks the lane's three
// zero bytes up at entry 0: both tables keep it 0, so the lane is the class.
static_assert(kHighNibbleModality[0] == 0 && kLowNibbleModality[0] == 0);

// Taste sequence words: a valid word with the sequence bit and a given top nibble
// (bits 19-16); a continuation word has top nibble 0xA or 0xB.
inline constexpr std::uint32_t kSequenceBit = 0x400;
inline constexpr std::uint32_t kTasteHeadMask = kOutOfRangeBits | 0xF0000u | kSequenceBit;
inline constexpr std::uint32_t kTasteContinuationMask = kOutOfRangeBits | 0xE0000u | kSequenceBit;

constexpr std::uint32_t taste_head(std::uint32_t nibble) {
    return (nibble << 16) | kSequenceBit;
}
constexpr bool is_taste_head(std::uint32_t w, std::uint32_t nibble) {
    return (w & kTasteHeadMask) == taste_head(nibble);
}
constexpr bool is_taste_continuation(std::uint32_t w) {
    return (w & kTasteContinuationMask) == taste_head(0xA);
}
static_assert(kTasteHeadMask == 0xFFFF0400u && kTasteContinuationMask == 0xFFFE0400u);

// Whether a taste sequence starts at i: three head words in a row.
constexpr bool taste_sequence_starts(const std::uint32_t* words, std::size_t n, std::size_t i) {
    return i + 2 < n && is_taste_head(words[i], 0x8) && is_taste_head(words[i + 1], 0x9) &&
           is_taste_head(words[i + 2], 0xA);
}

}  // namespace vak::scan
