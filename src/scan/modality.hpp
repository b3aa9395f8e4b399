// The word model's vocabulary: modality indexes and the segment modalities'
// order and names. Plain constants, so that anything may include it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vak::scan {

inline constexpr std::size_t kModalityCount = 10;
inline constexpr std::size_t kSegmentModalityCount = 8;

// Modality indexes, the order of the "counts" list.
enum Modality : std::uint8_t {
    kText = 0,
    kDiagram = 1,
    kMusic = 2,
    kVoice = 3,
    kImage = 4,
    kInline = 5,
    kMental = 6,
    kTouch = 7,
    kSmell = 8,
    kTaste = 9,
};

// Segment modalities in result order: diagram, music, voice, image, mental, touch, smell, taste.
inline constexpr std::array<Modality, kSegmentModalityCount> kSegmentModalities = {
    kDiagram, kMusic, kVoice, kImage, kMental, kTouch, kSmell, kTaste};
inline constexpr std::array<const char*, kSegmentModalityCount> kSegmentNames = {
    "diagram", "music", "voice", "image", "mental", "touch", "smell", "taste"};

}  // namespace vak::scan
