// Entry classes and the destination lanes the core scan appends them to.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "scan/modality.hpp"

namespace vak::scan {

// Entry classes: modality indexes 0..8 from the word tables, kInvalidClass for an
// entry that is not a valid word. kMayStartTaste marks a word shaped like the first
// word of a taste sequence that is followed by one shaped like the second; only
// they need the full test.
inline constexpr std::uint8_t kInvalidClass = kModalityCount;
inline constexpr std::uint8_t kMayStartTaste = 0x80;

// Lanes: 0..7 the segment modalities in result order, then the text array (text
// and inline words), then a drop lane that absorbs invalid entries.
inline constexpr unsigned kSegmentLanes = kSegmentModalityCount;
inline constexpr unsigned kTextLane = kSegmentLanes;
inline constexpr unsigned kDropLane = kTextLane + 1;
inline constexpr unsigned kLaneCount = kDropLane + 1;

// The lane of every entry class, derived from the segment modalities' order.
inline constexpr std::array<std::uint8_t, kInvalidClass + 1> kLaneOf = [] {
    std::array<std::uint8_t, kInvalidClass + 1> lane_of{};
    lane_of.fill(kTextLane);
    for (unsigned lane = 0; lane < kSegmentLanes; ++lane) {
        lane_of[kSegmentModalities[lane]] = static_cast<std::uint8_t>(lane);
    }
    lane_of[kInvalidClass] = kDropLane;
    return lane_of;
}();
static_assert(kLaneOf[kText] == kTextLane && kLaneOf[kInline] == kTextLane);
static_assert(kLaneOf[kDiagram] == 0 && kLaneOf[kTaste] == kSegmentLanes - 1);

// The vector kernels read class bytes two ways: a byte movemask (the top bit of
// each byte) finds the taste marks, and a byte shuffle (by the low nibble) maps a
// class to its lane. Every plain class stays clear of both.
static_assert(kMayStartTaste == 0x80 && kInvalidClass < 16);
inline constexpr std::array<std::uint8_t, 16> kLaneOfShuffle = [] {
    std::array<std::uint8_t, 16> table{};
    for (unsigned cls = 0; cls <= kInvalidClass; ++cls) table[cls] = kLaneOf[cls];
    return table;
}();

// Where one lane's next word and next span start go. A span start is the offset
// of a segment's first word in the lane's array (words - base when it opens).
struct LaneCursor {
    std::uint32_t* base = nullptr;
    std::uint32_t* words = nullptr;
    std::uint32_t* starts = nullptr;
};

// Vector appends store whole vectors at a cursor: every lane keeps this many
// words (and span starts) of room beyond what a chunk can add.
inline constexpr std::size_t kAppendSlack = 16;

}  // namespace vak::scan
