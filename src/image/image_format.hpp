// What both directions of the image codec share: the layout of an image command
// word, the words the encoder writes, the quadtree geometry, the colour palette,
// and the one rounding rule that palette entries, levels, node means and
// threshold tenths all use.
//
// An image command word (bit 0 least significant; other words are skipped):
//
//   bits   31..20  19..16  15..12  11..10  9     8..6       5..0
//          ignored 1000    ignored 01      kind  selector   argument / value
//
//   kind 0, a command                      kind 1, a data payload
//   selector  command    argument          in the metadata block: selector = field 0..7
//   0..3      DESCEND q  repeat (0 = 1)    after it: selector = colour channel 0..2
//   4         PAINT      ignored           value: the field's 6 bits, or a colour level
//   5         SET_COLOR  ignored
//   6         BACKTRACK  repeat (0 = 1)
//   7         META       0 begin, 1 end
//
//   metadata fields: 0/1 width high/low, 2/3 height high/low, 4/5 root size
//   high/low (12-bit values as two 6-bit halves), 6 bit depth, 7 threshold tenths.
//
//   A stream: META_BEGIN, the eight fields, META_END, then the tree depth first:
//   a split node is DESCEND q, the child, BACKTRACK for q = 0..3; a leaf is an
//   optional SET_COLOR with three channel payloads, then PAINT.
//
// Pixels: rows first, kChannels bytes per pixel. A node (x, y, size) has children
// of half its size (at least 1) offset by that half: quadrant bit 0 moves right,
// bit 1 moves down.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vak::image {

// A word is an image command word when these bits hold this pattern.
inline constexpr std::uint32_t kImageWordTestMask = 0xF0C00u;
inline constexpr std::uint32_t kImageWordPattern = 0x80400u;

inline constexpr std::uint32_t kPayloadKindBit = 0x200u;
inline constexpr unsigned kSelectorShift = 6;
inline constexpr std::uint32_t kSelectorMask = 0x7u;
inline constexpr std::uint32_t kValueMask = 0x3Fu;
// The kind, selector and value fields together: every word the encoder writes
// is kImageWordPattern plus such a code.
inline constexpr std::uint32_t kCodeMask = 0x3FFu;

inline constexpr std::size_t kChannels = 3;

enum Opcode : std::uint8_t {
    kDescend0 = 0, kDescend1 = 1, kDescend2 = 2, kDescend3 = 3,
    kPaint = 4, kSetColor = 5, kBacktrack = 6, kMeta = 7,
};
inline constexpr std::uint8_t kMetaBeginArg = 0;
inline constexpr std::uint8_t kMetaEndArg = 1;

// Words exactly as the encoder writes them (kind, selector and value fields only).
constexpr std::uint32_t command_word(Opcode op, std::uint32_t arg) {
    return kImageWordPattern | (std::uint32_t{op} << kSelectorShift) | arg;
}
constexpr std::uint32_t payload_word(std::uint32_t selector, std::uint32_t value) {
    return kImageWordPattern | kPayloadKindBit | (selector << kSelectorShift) | value;
}
inline constexpr std::uint32_t kMetaBeginWord = command_word(kMeta, kMetaBeginArg);  // 0x805C0
inline constexpr std::uint32_t kMetaEndWord = command_word(kMeta, kMetaEndArg);      // 0x805C1
inline constexpr std::uint32_t kPaintWord = command_word(kPaint, 1);                 // 0x80501
inline constexpr std::uint32_t kSetColorWord = command_word(kSetColor, 1);           // 0x80541
inline constexpr std::uint32_t kBacktrackWord = command_word(kBacktrack, 1);         // 0x80581
constexpr std::uint32_t descend_word(unsigned quadrant) {
    return command_word(static_cast<Opcode>(quadrant), 1);  // 0x80401 + quadrant * 0x40
}

// Metadata field indexes (the selector of a payload inside the metadata block).
enum MetaField : std::uint8_t {
    kWidthHigh = 0, kWidthLow = 1, kHeightHigh = 2, kHeightLow = 3,
    kRootHigh = 4, kRootLow = 5, kBitDepthField = 6, kTenthsField = 7,
};
inline constexpr std::size_t kMetaFieldCount = 8;
// Width, height and root size travel as two 6-bit halves.
inline constexpr std::uint32_t kMaxSplitValue = 4095;

enum class WordKind : std::uint8_t { kForeign, kCommand, kPayload };

struct ImageWord {
    WordKind kind;
    std::uint8_t selector;  // opcode of a command, field or channel of a payload
    std::uint8_t value;     // argument of a command, value of a payload
};

constexpr ImageWord classify_word(std::uint32_t w) {
    if ((w & kImageWordTestMask) != kImageWordPattern) return {WordKind::kForeign, 0, 0};
    return {(w & kPayloadKindBit) != 0 ? WordKind::kPayload : WordKind::kCommand,
            static_cast<std::uint8_t>((w >> kSelectorShift) & kSelectorMask),
            static_cast<std::uint8_t>(w & kValueMask)};
}

// A quadtree node: the square of side `size` whose top-left pixel is column x, row y.
struct Node {
    std::uint32_t x;
    std::uint32_t y;
    std::uint32_t size;
    friend bool operator==(const Node&, const Node&) = default;
};

// The quadrant's child: half the size (at least 1), offset by that half.
constexpr Node child_of(const Node& node, unsigned quadrant) {
    const std::uint32_t half = node.size >> 1 != 0 ? node.size >> 1 : 1;
    return Node{node.x + ((quadrant & 1u) != 0 ? half : 0),
                node.y + ((quadrant & 2u) != 0 ? half : 0), half};
}

using Colour = std::array<std::uint8_t, kChannels>;

// The five values both functions return alongside their result.
struct ImageMetadata {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t root_size = 0;
    std::uint8_t bit_depth = 0;
    std::uint32_t threshold_tenths = 0;
};

inline constexpr unsigned kMinBitDepth = 1;
inline constexpr unsigned kMaxBitDepth = 6;
inline constexpr std::size_t kMaxPaletteSize = std::size_t{1} << kMaxBitDepth;

// Round to nearest, ties to even, from floor and fraction. NaN and negative
// values give 0; values from 4294967295.5 up (infinity included) saturate.
std::uint32_t round_to_u32(double x) noexcept;

// Entry k of the palette of depth d: round(k / (2^d - 1) * 255). Only the first
// 2^d entries are meaningful.
struct Palette {
    std::array<std::uint8_t, kMaxPaletteSize> entries{};
    std::size_t size = 0;
};
Palette build_palette(unsigned bit_depth) noexcept;

// The colour level of byte v at depth d: round(v / 255 * (2^d - 1)).
std::uint32_t quantise_level(double v, unsigned bit_depth) noexcept;

}  // namespace vak::image
