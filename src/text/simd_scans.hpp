// The encoder's byte-level work, done many bytes at a time where the process's
// kernel path allows (AVX2 on x86-64, common/kernel_choice.hpp), one byte at a
// time elsewhere:
//  - the output bound: lead_word_bound summed over the text;
//  - direct ASCII, widened straight into direct units (0xF8, byte);
//  - Chinese ideographs U+4000..U+9FFF (UTF-8 lead bytes E4..E9), which are
//    plain starters whose bytes are copied unchanged;
//  - the next direct ASCII character, where a text may be cut into pieces.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/kernel_choice.hpp"
#include "text/direct_set.hpp"
#include "text/output_units.hpp"

#ifdef VAK_X86_64
#include <immintrin.h>
#endif

namespace vak::text::simd {

inline bool is_direct_ascii(std::uint8_t byte) noexcept {
    return byte < 0x80 && is_direct(byte);
}

namespace portable {

inline constexpr auto kLeadWordBounds = [] {
    std::array<std::uint8_t, 256> table{};
    for (unsigned b = 0; b < 256; ++b)
        table[b] = static_cast<std::uint8_t>(lead_word_bound(static_cast<std::uint8_t>(b)));
    return table;
}();

inline std::size_t max_words(const std::uint8_t* utf8, std::size_t size) noexcept {
    std::size_t words = 0;
    for (std::size_t i = 0; i < size; ++i) words += kLeadWordBounds[utf8[i]];
    return words;
}

// Widens the direct ASCII bytes from `p` (before `stop`) into units at `out`;
// returns where the stretch ends.
inline const std::uint8_t* widen_direct_ascii(const std::uint8_t* p, const std::uint8_t* stop,
                                              std::uint8_t* out) noexcept {
    const std::uint8_t* end = p;
    while (end < stop && is_direct_ascii(*end)) ++end;
    const std::size_t n = static_cast<std::size_t>(end - p);
    for (std::size_t k = 0; k < n; ++k) {
        out[2 * k] = kDirectTag;
        out[2 * k + 1] = p[k];
    }
    return end;
}

// The first direct ASCII byte from `p` (before `end`), or `end`.
inline const std::uint8_t* find_direct_ascii(const std::uint8_t* p,
                                             const std::uint8_t* end) noexcept {
    while (p < end && !is_direct_ascii(*p)) ++p;
    return p;
}

}  // namespace portable

#ifdef VAK_X86_64

inline bool use_avx2() noexcept {
    return kernel_choice::allows(kernel_choice::Path::kAvx2);
}

// lead_word_bound of 32 bytes at once: by the high nibble, and by the low
// nibble for lead bytes E0..EF and F0..FF.
__attribute__((target("avx2"))) inline std::size_t max_words_avx2(const std::uint8_t* utf8,
                                                                  std::size_t size) noexcept {
    const __m256i by_high = _mm256_setr_epi8(1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 3, 3, 0, 0, 1, 1,
                                             1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 3, 3, 0, 0);
    const __m256i e_by_low = _mm256_setr_epi8(5, 4, 4, 4, 2, 2, 2, 2, 2, 2, 5, 5, 5, 5, 2, 3, 5, 4,
                                              4, 4, 2, 2, 2, 2, 2, 2, 5, 5, 5, 5, 2, 3);
    const __m256i f_by_low = _mm256_setr_epi8(6, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 6, 2,
                                              2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2);
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    __m256i sums = _mm256_setzero_si256();
    std::size_t i = 0;
    for (; i + 32 <= size; i += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(utf8 + i));
        const __m256i high = _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble);
        const __m256i low = _mm256_and_si256(v, nibble);
        __m256i w = _mm256_shuffle_epi8(by_high, high);
        w = _mm256_add_epi8(w, _mm256_and_si256(_mm256_cmpeq_epi8(high, _mm256_set1_epi8(0x0E)),
                                                _mm256_shuffle_epi8(e_by_low, low)));
        w = _mm256_add_epi8(w, _mm256_and_si256(_mm256_cmpeq_epi8(high, nibble),
                                                _mm256_shuffle_epi8(f_by_low, low)));
        sums = _mm256_add_epi64(sums, _mm256_sad_epu8(w, _mm256_setzero_si256()));
    }
    alignas(32) std::uint64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), sums);
    return static_cast<std::size_t>(lanes[0] + lanes[1] + lanes[2] + lanes[3]) +
           portable::max_words(utf8 + i, size - i);
}

// 32 bytes: a bit set for each byte that is not direct ASCII.
__attribute__((target("avx2"))) inline std::uint32_t not_direct_ascii(__m256i v) noexcept {
    const __m256i printable = _mm256_and_si256(_mm256_cmpgt_epi8(v, _mm256_set1_epi8(0x1F)),
                                               _mm256_cmpgt_epi8(_mm256_set1_epi8(0x7F), v));
    const __m256i controls =
        _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(0x09)),
                                        _mm256_cmpeq_epi8(v, _mm256_set1_epi8(0x0A))),
                        _mm256_cmpeq_epi8(v, _mm256_set1_epi8(0x0D)));
    return ~static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_or_si256(printable, controls)));
}

__attribute__((target("avx2"))) inline const std::uint8_t* widen_direct_ascii_avx2(
    const std::uint8_t* p, const std::uint8_t* stop, std::uint8_t* out) noexcept {
    const __m256i tag = _mm256_set1_epi16(kDirectTag);
    while (stop - p >= 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const std::uint32_t other = not_direct_ascii(v);
        // Units (0xF8, byte) are the 16-bit values byte << 8 | 0xF8. All 32
        // bytes are widened; only those before the first other byte count
        // (the rest lands in the output's slack or is overwritten).
        const __m256i low = _mm256_cvtepu8_epi16(_mm256_castsi256_si128(v));
        const __m256i high = _mm256_cvtepu8_epi16(_mm256_extracti128_si256(v, 1));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                            _mm256_or_si256(_mm256_slli_epi16(low, 8), tag));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32),
                            _mm256_or_si256(_mm256_slli_epi16(high, 8), tag));
        if (other != 0) return p + __builtin_ctz(other);
        p += 32;
        out += 64;
    }
    return portable::widen_direct_ascii(p, stop, out);
}

__attribute__((target("avx2"))) inline const std::uint8_t* find_direct_ascii_avx2(
    const std::uint8_t* p, const std::uint8_t* end) noexcept {
    while (end - p >= 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const std::uint32_t direct = ~not_direct_ascii(v);
        if (direct != 0) return p + __builtin_ctz(direct);
        p += 32;
    }
    return portable::find_direct_ascii(p, end);
}

// Skips whole 32-byte blocks of continuation bytes and lead bytes E4..E9 from
// `p` while they end before `stop`; returns the first byte that is ASCII or
// another lead byte (a character boundary), or where the blocks ended (which
// may be inside a character).
__attribute__((target("avx2"))) inline const std::uint8_t* skip_ideographs_avx2(
    const std::uint8_t* p, const std::uint8_t* stop) noexcept {
    // As signed bytes: ASCII is >= 0, lead bytes are >= -64 (0xC0), E4..E9 are -28..-23.
    while (stop - p >= 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i ascii = _mm256_cmpgt_epi8(v, _mm256_set1_epi8(-1));
        const __m256i lead = _mm256_cmpgt_epi8(v, _mm256_set1_epi8(-65));
        const __m256i ideograph = _mm256_and_si256(_mm256_cmpgt_epi8(v, _mm256_set1_epi8(-29)),
                                                   _mm256_cmpgt_epi8(_mm256_set1_epi8(-22), v));
        const __m256i other = _mm256_or_si256(ascii, _mm256_andnot_si256(ideograph, lead));
        const auto mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(other));
        if (mask != 0) return p + __builtin_ctz(mask);
        p += 32;
    }
    return p;
}

#endif

inline std::size_t max_words(const std::uint8_t* utf8, std::size_t size) noexcept {
#ifdef VAK_X86_64
    if (use_avx2()) return max_words_avx2(utf8, size);
#endif
    return portable::max_words(utf8, size);
}

inline const std::uint8_t* widen_direct_ascii(const std::uint8_t* p, const std::uint8_t* stop,
                                              std::uint8_t* out) noexcept {
#ifdef VAK_X86_64
    if (use_avx2()) return widen_direct_ascii_avx2(p, stop, out);
#endif
    return portable::widen_direct_ascii(p, stop, out);
}

inline const std::uint8_t* find_direct_ascii(const std::uint8_t* p,
                                             const std::uint8_t* end) noexcept {
#ifdef VAK_X86_64
    if (use_avx2()) return find_direct_ascii_avx2(p, end);
#endif
    return portable::find_direct_ascii(p, end);
}

// As skip_ideographs_avx2; without vectors nothing is skipped (the caller
// checks character by character).
inline const std::uint8_t* skip_ideographs(const std::uint8_t* p,
                                           const std::uint8_t* stop) noexcept {
#ifdef VAK_X86_64
    if (use_avx2()) return skip_ideographs_avx2(p, stop);
#endif
    (void)stop;
    return p;
}

}  // namespace vak::text::simd
