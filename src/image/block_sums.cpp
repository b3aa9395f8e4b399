#include "image/block_sums.hpp"

#include <algorithm>
#include <optional>
#include <type_traits>

#include "common/interrupt.hpp"
#include "common/invariant.hpp"
#include "common/kernel_choice.hpp"
#include "image/pixel_blocks.hpp"

namespace vak::image {

namespace {

// Polling about every 64 Ki pixels (or block entries) of work.
constexpr std::size_t kPollEntries = std::size_t{1} << 16;

constexpr unsigned sum_bytes_of(unsigned level) {
    return level <= 4 ? 2 : 4;
}
constexpr unsigned square_bytes_of(unsigned level) {
    return level <= 8 ? 4 : 8;
}

constexpr std::uint32_t blocks_over(std::uint32_t pixels, unsigned level) {
    return static_cast<std::uint32_t>((std::uint64_t{pixels} + (std::uint64_t{1} << level) - 1) >>
                                      level);
}

// Level 2 straight from the pixels: each 4 x 4 block's sixteen quantised values
// and their squares, per channel; pixels past the right or bottom edge count as
// 0. Level 1 is not stored (see BlockSums::totals), which saves writing and
// re-reading the largest level.
//
// One table look-up per byte gives both: the value in bits 0..11 and its square
// above them. Sixteen values total at most 4080, so their sums never carry into
// the squares' bits (sixteen squares total at most 1040400: 20 bits).
//
// With AVX2 (`vector_quantiser` set) the kernel of pixel_blocks.hpp takes the
// leading blocks of each band and this loop the rest.
void sum_pixel_blocks(const std::uint8_t* pixels, std::uint32_t width, std::uint32_t height,
                      const PackedSquares& packed,
                      const std::optional<ArithmeticQuantiser>& vector_quantiser,
                      std::uint16_t* sums, std::uint32_t* squares, std::uint32_t cols,
                      std::uint32_t rows) {
    constexpr unsigned kSide = 4;
    const std::size_t row_bytes = std::size_t{width} * kChannels;
    const std::uint32_t whole_cols = width / kSide;  // blocks with all columns inside
    const std::uint32_t last_cols = width % kSide;   // columns inside the last, partial block
    const std::uint32_t first_col = vector_quantiser ? avx2_block_count(width) : 0;
    std::size_t since_poll = 0;
    for (std::uint32_t by = 0; by < rows; ++by) {
        const std::uint32_t first_row = by * kSide;
        const std::uint32_t end_row = std::min(first_row + kSide, height);
#ifdef VAK_X86_64  // the kernel exists on x86-64 only
        if (vector_quantiser && first_col != 0) {
            sum_band_blocks_avx2(pixels + std::size_t{first_row} * row_bytes, row_bytes,
                                 end_row - first_row, first_col, *vector_quantiser,
                                 sums + std::size_t{by} * cols * kChannels,
                                 squares + std::size_t{by} * cols * kChannels);
        }
#endif
        // The packed totals of the remaining blocks gather in their squares' entries.
        std::uint32_t* total = squares + std::size_t{by} * cols * kChannels;
        const std::size_t first_entry = std::size_t{first_col} * kChannels;
        const std::size_t end_entry = std::size_t{cols} * kChannels;
        std::fill(total + first_entry, total + end_entry, 0u);
        for (std::uint32_t y = first_row; y < end_row; ++y) {
            const std::uint8_t* row = pixels + std::size_t{y} * row_bytes;
            for (std::uint32_t bx = first_col; bx < whole_cols; ++bx) {
                const std::uint8_t* at = row + std::size_t{bx} * kSide * kChannels;
                for (std::size_t c = 0; c < kChannels; ++c) {
                    total[bx * kChannels + c] += packed[at[c]] + packed[at[c + kChannels]] +
                                                 packed[at[c + 2 * kChannels]] +
                                                 packed[at[c + 3 * kChannels]];
                }
            }
            if (last_cols != 0) {
                const std::uint8_t* at = row + std::size_t{whole_cols} * kSide * kChannels;
                for (std::uint32_t i = 0; i < last_cols * kChannels; ++i) {
                    total[whole_cols * kChannels + i % kChannels] += packed[at[i]];
                }
            }
        }
        std::uint16_t* sum_row = sums + std::size_t{by} * cols * kChannels;
        for (std::size_t i = first_entry; i < end_entry; ++i) {
            sum_row[i] = static_cast<std::uint16_t>(total[i] & kPackedValueBits);
            total[i] >>= kPackedSquareShift;
        }
        since_poll += std::size_t{cols} * 16;
        if (since_poll >= kPollEntries) {
            since_poll = 0;
            interrupt::poll();
        }
    }
}

// Level k + 1 from level k: each entry is the total of four entries below it;
// entries past the lower level's edge count as 0.
template <class In, class Out>
void sum_entry_quads(const In* in, std::uint32_t in_cols, std::uint32_t in_rows, Out* out,
                     std::uint32_t cols, std::uint32_t rows) {
    const std::size_t in_stride = std::size_t{in_cols} * kChannels;
    const std::uint32_t whole_cols = in_cols / 2;
    std::size_t since_poll = 0;
    for (std::uint32_t by = 0; by < rows; ++by) {
        const In* top = in + std::size_t{2} * by * in_stride;
        Out* row = out + std::size_t{by} * cols * kChannels;
        // A block row without a second entry row inside adds nothing for it.
        const auto quad_row = [&](const In* bottom, auto has_bottom) {
            const auto below = [&](std::size_t i) -> Out {
                if constexpr (decltype(has_bottom)::value) return static_cast<Out>(bottom[i]);
                return 0;
            };
            for (std::uint32_t bx = 0; bx < whole_cols; ++bx) {
                const std::size_t at = std::size_t{bx} * 2 * kChannels;
                for (std::size_t c = 0; c < kChannels; ++c) {
                    const Out upper =
                        static_cast<Out>(top[at + c]) + static_cast<Out>(top[at + c + kChannels]);
                    const Out lower = below(at + c) + below(at + c + kChannels);
                    row[bx * kChannels + c] = static_cast<Out>(upper + lower);
                }
            }
            if (whole_cols < cols) {
                const std::size_t at = std::size_t{whole_cols} * 2 * kChannels;
                for (std::size_t c = 0; c < kChannels; ++c) {
                    row[whole_cols * kChannels + c] =
                        static_cast<Out>(static_cast<Out>(top[at + c]) + below(at + c));
                }
            }
        };
        if (2 * by + 1 < in_rows) {
            quad_row(top + in_stride, std::true_type{});
        } else {
            quad_row(top, std::false_type{});
        }
        since_poll += std::size_t{cols} * 4;
        if (since_poll >= kPollEntries) {
            since_poll = 0;
            interrupt::poll();
        }
    }
}

template <class In>
void sum_level(const void* in, std::uint32_t in_cols, std::uint32_t in_rows, void* out,
               unsigned out_bytes, std::uint32_t cols, std::uint32_t rows) {
    const In* from = static_cast<const In*>(in);
    switch (out_bytes) {
        case 2:
            sum_entry_quads(from, in_cols, in_rows, static_cast<std::uint16_t*>(out), cols, rows);
            break;
        case 4:
            sum_entry_quads(from, in_cols, in_rows, static_cast<std::uint32_t*>(out), cols, rows);
            break;
        default:
            sum_entry_quads(from, in_cols, in_rows, static_cast<std::uint64_t*>(out), cols, rows);
            break;
    }
}

void sum_level(const void* in, unsigned in_bytes, std::uint32_t in_cols, std::uint32_t in_rows,
               void* out, unsigned out_bytes, std::uint32_t cols, std::uint32_t rows) {
    switch (in_bytes) {
        case 2: sum_level<std::uint16_t>(in, in_cols, in_rows, out, out_bytes, cols, rows); break;
        case 4: sum_level<std::uint32_t>(in, in_cols, in_rows, out, out_bytes, cols, rows); break;
        default: sum_level<std::uint64_t>(in, in_cols, in_rows, out, out_bytes, cols, rows); break;
    }
}

std::uint64_t load(const void* entries, unsigned bytes, std::size_t i) noexcept {
    switch (bytes) {
        case 2: return static_cast<const std::uint16_t*>(entries)[i];
        case 4: return static_cast<const std::uint32_t*>(entries)[i];
        default: return static_cast<const std::uint64_t*>(entries)[i];
    }
}

}  // namespace

std::size_t BlockSums::bytes_needed(std::uint32_t width, std::uint32_t height, unsigned top_level) {
    std::size_t total = 0;
    for (unsigned k = kFirstStoredLevel; k <= top_level; ++k) {
        const std::size_t entries =
            std::size_t{blocks_over(width, k)} * blocks_over(height, k) * kChannels;
        // Each array rounded up to the arena's alignment.
        total += (entries * sum_bytes_of(k) + 15) / 16 * 16 +
                 (entries * square_bytes_of(k) + 15) / 16 * 16;
    }
    return total;
}

BlockSums::BlockSums(BumpArena& arena, const std::uint8_t* pixels, std::uint32_t width,
                     std::uint32_t height, unsigned top_level,
                     const std::array<std::uint8_t, 256>& quantised)
    : pixels_(pixels), width_(width), height_(height) {
    VAK_EXPECT(top_level <= kMaxBlockLevel, "the root fits the block levels");
    for (unsigned v = 0; v < 256; ++v) {
        const std::uint32_t q = quantised[v];
        packed_[v] = (q * q) << kPackedSquareShift | q;
    }
    for (unsigned k = kFirstStoredLevel; k <= top_level; ++k) {
        Level& level = levels_[k];
        level.cols = blocks_over(width, k);
        level.rows = blocks_over(height, k);
        level.sum_bytes = static_cast<std::uint8_t>(sum_bytes_of(k));
        level.square_bytes = static_cast<std::uint8_t>(square_bytes_of(k));
        const std::size_t entries = std::size_t{level.cols} * level.rows * kChannels;
        level.sums = arena.allocate(entries * level.sum_bytes, 16);
        level.squares = arena.allocate(entries * level.square_bytes, 16);
        if (k == kFirstStoredLevel) {
            std::optional<ArithmeticQuantiser> vector_quantiser;
            if (avx2_blocks_available()) vector_quantiser = find_arithmetic_quantiser(quantised);
            sum_pixel_blocks(pixels, width, height, packed_, vector_quantiser,
                             static_cast<std::uint16_t*>(level.sums),
                             static_cast<std::uint32_t*>(level.squares), level.cols, level.rows);
            continue;
        }
        const Level& below = levels_[k - 1];
        sum_level(below.sums, below.sum_bytes, below.cols, below.rows, level.sums, level.sum_bytes,
                  level.cols, level.rows);
        sum_level(below.squares, below.square_bytes, below.cols, below.rows, level.squares,
                  level.square_bytes, level.cols, level.rows);
    }
}

BlockTotals BlockSums::totals(unsigned level, std::uint32_t bx, std::uint32_t by) const noexcept {
    if (level < kFirstStoredLevel) return pixel_pair_totals(bx, by);
    const Level& l = levels_[level];
    BlockTotals t{};
    if (bx >= l.cols || by >= l.rows) return t;  // wholly in the margin
    const std::size_t first = (std::size_t{by} * l.cols + bx) * kChannels;
    for (std::size_t c = 0; c < kChannels; ++c) {
        t.sum[c] = load(l.sums, l.sum_bytes, first + c);
        t.square[c] = load(l.squares, l.square_bytes, first + c);
    }
    return t;
}

// A 2 x 2 block's totals from its pixels: the walk asks for few of them, fewer
// than building the level would take (at most one per block).
BlockTotals BlockSums::pixel_pair_totals(std::uint32_t bx, std::uint32_t by) const noexcept {
    BlockTotals t{};
    const std::uint32_t x = 2 * bx;
    const std::uint32_t y = 2 * by;
    if (x >= width_ || y >= height_) return t;  // wholly in the margin
    const std::size_t columns = x + 1 < width_ ? 2 : 1;
    const std::size_t pixel_rows = y + 1 < height_ ? 2 : 1;
    std::array<std::uint32_t, kChannels> total{};
    for (std::size_t r = 0; r < pixel_rows; ++r) {
        const std::uint8_t* at = pixels_ + ((std::size_t{y} + r) * width_ + x) * kChannels;
        for (std::size_t i = 0; i < columns * kChannels; ++i)
            total[i % kChannels] += packed_[at[i]];
    }
    for (std::size_t c = 0; c < kChannels; ++c) {
        t.sum[c] = total[c] & kPackedValueBits;
        t.square[c] = total[c] >> kPackedSquareShift;
    }
    return t;
}

}  // namespace vak::image
