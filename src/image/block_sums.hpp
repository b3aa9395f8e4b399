// Exact per-channel sums and sums of squares of the quantised image over every
// aligned block of 2^k x 2^k pixels, for k = 1 up to the root's level: the
// statistics of a quadtree node of size 2^k at (x, y) are those of block
// (x >> k, y >> k) of level k, one lookup instead of four table corners.
//
// Level 2 is built from the pixels and level k from level k - 1, so the totals
// are the same integers a summed-area table gives. Level 1 is not stored: its
// few blocks the walk asks for are summed from their four pixels. Each level stores only the blocks
// that reach into the image; blocks wholly in the black margin total 0. Entries
// are as narrow as the largest total of their level allows:
//   sums     255 * 4^k:   16 bits up to k = 4, then 32 bits (k <= 11 fits);
//   squares  255^2 * 4^k: 32 bits up to k = 8, then 64 bits.
// For a W x H image the stored levels together take about 1.5 bytes per pixel.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "image/bump_arena.hpp"
#include "image/image_format.hpp"

namespace vak::image {

// The deepest level a root of side 2048 needs.
inline constexpr unsigned kMaxBlockLevel = 11;
inline constexpr unsigned kFirstStoredLevel = 2;

// A quantised value v and its square packed as v | v^2 << 12: sixteen of them
// add up without the values' total carrying into the squares'.
inline constexpr unsigned kPackedSquareShift = 12;
inline constexpr std::uint32_t kPackedValueBits = (1u << kPackedSquareShift) - 1;
using PackedSquares = std::array<std::uint32_t, 256>;

struct BlockTotals {
    std::array<std::uint64_t, kChannels> sum;
    std::array<std::uint64_t, kChannels> square;
};

class BlockSums {
public:
    // `pixels`: width * height * kChannels bytes, rows first; `quantised` maps a
    // byte to its palette entry. Levels kFirstStoredLevel..top_level live in `arena`.
    BlockSums(BumpArena& arena, const std::uint8_t* pixels, std::uint32_t width,
              std::uint32_t height, unsigned top_level,
              const std::array<std::uint8_t, 256>& quantised);

    // Bytes of arena memory the levels of such an image take (for sizing the arena).
    static std::size_t bytes_needed(std::uint32_t width, std::uint32_t height, unsigned top_level);

    // The totals of block (bx, by) of `level` (1..top_level).
    BlockTotals totals(unsigned level, std::uint32_t bx, std::uint32_t by) const noexcept;

private:
    struct Level {
        void* sums = nullptr;     // cols * rows * kChannels entries of sum_bytes each
        void* squares = nullptr;  // the same of square_bytes each
        std::uint32_t cols = 0;
        std::uint32_t rows = 0;
        std::uint8_t sum_bytes = 0;
        std::uint8_t square_bytes = 0;
    };

    BlockTotals pixel_pair_totals(std::uint32_t bx, std::uint32_t by) const noexcept;

    const std::uint8_t* pixels_;
    std::uint32_t width_;
    std::uint32_t height_;
    PackedSquares packed_{};                          // by byte value
    std::array<Level, kMaxBlockLevel + 1> levels_{};  // below kFirstStoredLevel unused
};

}  // namespace vak::image
