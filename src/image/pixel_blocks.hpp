// 4 x 4 pixel blocks summed with AVX2: each channel's sixteen quantised values
// and their squares, for the blocks of one band of up to four pixel rows.
//
// The kernel quantises with 16-bit integer multiplies instead of a table look-up
// per byte. It is used only when that arithmetic reproduces the byte -> palette
// entry table for all 256 values (checked when the constants are found), so its
// totals are the portable code's.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace vak::image {

// The constants of the arithmetic quantisation
//   level = ((v * top_level + 127) * 0x8081) >> 23           (round(v / 255 * top_level))
//   entry = ((level * 510 + top_level) * entry_magic) >> (16 + entry_shift)
// entry being the palette entry of level (round(level / top_level * 255)).
struct ArithmeticQuantiser {
    std::uint16_t top_level;
    std::uint16_t entry_magic;
    unsigned entry_shift;
};

// Constants that reproduce `quantised` (byte -> palette entry) exactly, or none.
std::optional<ArithmeticQuantiser> find_arithmetic_quantiser(
    const std::array<std::uint8_t, 256>& quantised);

// Whether this process takes the AVX2 kernel (common/kernel_choice.hpp).
bool avx2_blocks_available();

// How many leading blocks of a row of `width` pixels the kernel may take: whole
// blocks whose 16-byte loads stay inside the row.
std::uint32_t avx2_block_count(std::uint32_t width);

// Blocks 0..count-1 of the band whose first row starts at `band` (rows
// `row_bytes` apart, `band_rows` of them, 1..4; missing rows count as 0): their
// per-channel totals go to sums[3 * bx + c] and squares[3 * bx + c].
void sum_band_blocks_avx2(const std::uint8_t* band, std::size_t row_bytes, unsigned band_rows,
                          std::uint32_t count, const ArithmeticQuantiser& quantiser,
                          std::uint16_t* sums, std::uint32_t* squares) noexcept;

}  // namespace vak::image
