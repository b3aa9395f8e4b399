// One block per step: its 12 bytes of a pixel row are arranged by channel
// (R0..R3, G0..G3, B0..B3, four zeros), widened to 16-bit lanes and quantised;
// pair sums of the values and of their squares (one multiply-add each) gather
// over the band's rows, and a final horizontal add gives each channel's totals.
// Compiled on x86-64 only; elsewhere the block sums take the portable code.
#include "common/kernel_choice.hpp"
#ifdef VAK_X86_64

#include <immintrin.h>

#include <type_traits>

#include "image/pixel_blocks.hpp"

#define VAK_AVX2 __attribute__((target("avx2")))

namespace vak::image {

VAK_AVX2 void sum_band_blocks_avx2(const std::uint8_t* band, std::size_t row_bytes,
                                   unsigned band_rows, std::uint32_t count,
                                   const ArithmeticQuantiser& quantiser, std::uint16_t* sums,
                                   std::uint32_t* squares) noexcept {
    const __m256i top_level = _mm256_set1_epi16(static_cast<short>(quantiser.top_level));
    const __m256i half_step = _mm256_set1_epi16(127);
    const __m256i by_255 = _mm256_set1_epi16(static_cast<short>(0x8081));
    const __m256i level_step = _mm256_set1_epi16(510);
    const __m256i entry_magic = _mm256_set1_epi16(static_cast<short>(quantiser.entry_magic));
    const __m128i entry_shift = _mm_cvtsi32_si128(static_cast<int>(quantiser.entry_shift));
    const __m256i ones = _mm256_set1_epi16(1);
    const __m128i by_channel = _mm_setr_epi8(0, 3, 6, 9, 1, 4, 7, 10, 2, 5, 8, 11, -1, -1, -1, -1);
    const auto sum_blocks = [&](auto rows) VAK_AVX2 {
        for (std::uint32_t bx = 0; bx < count; ++bx) {
            __m256i value_pairs = _mm256_setzero_si256();
            __m256i square_pairs = _mm256_setzero_si256();
            const std::uint8_t* at = band + std::size_t{bx} * 12;
            for (unsigned r = 0; r < static_cast<unsigned>(rows); ++r, at += row_bytes) {
                const __m128i bytes = _mm_shuffle_epi8(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), by_channel);
                const __m256i v = _mm256_cvtepu8_epi16(bytes);
                const __m256i scaled =
                    _mm256_add_epi16(_mm256_mullo_epi16(v, top_level), half_step);
                const __m256i level = _mm256_srli_epi16(_mm256_mulhi_epu16(scaled, by_255), 7);
                const __m256i numerator =
                    _mm256_add_epi16(_mm256_mullo_epi16(level, level_step), top_level);
                const __m256i entry =
                    _mm256_srl_epi16(_mm256_mulhi_epu16(numerator, entry_magic), entry_shift);
                value_pairs = _mm256_add_epi32(value_pairs, _mm256_madd_epi16(entry, ones));
                square_pairs = _mm256_add_epi32(square_pairs, _mm256_madd_epi16(entry, entry));
            }
            // Per 128-bit half: [R, G, R squares, G squares] and [B, 0, B squares, 0].
            alignas(32) std::uint32_t totals[8];
            _mm256_store_si256(reinterpret_cast<__m256i*>(totals),
                               _mm256_hadd_epi32(value_pairs, square_pairs));
            sums[3 * bx] = static_cast<std::uint16_t>(totals[0]);
            sums[3 * bx + 1] = static_cast<std::uint16_t>(totals[1]);
            sums[3 * bx + 2] = static_cast<std::uint16_t>(totals[4]);
            squares[3 * bx] = totals[2];
            squares[3 * bx + 1] = totals[3];
            squares[3 * bx + 2] = totals[6];
        }
    };
    // Full bands (all but perhaps the last) with the row count known at compile time.
    if (band_rows == 4) {
        sum_blocks(std::integral_constant<unsigned, 4>{});
    } else {
        sum_blocks(band_rows);
    }
}

}  // namespace vak::image

#endif  // VAK_X86_64
