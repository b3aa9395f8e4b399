// The chunk kernels on AVX-512 (F, BW, VL, with BMI2): classes 64 at a time,
// change bits straight from byte-compare masks, and appends sixteen words at a
// time per lane with vpcompressd.
//
// VAK_SCAN_AVX512_EMULATED builds the same kernels without target attributes
// over a software emulation of the intrinsics that the includer provides; the
// native tests use it to check these kernels on processors without AVX-512.
// g++ 12's AVX-512 headers seed results with a self-initialised "undefined"
// vector, which its own uninitialised-use warnings then flag (fixed in g++ 13).
#include "common/kernel_choice.hpp"
#if defined(VAK_X86_64) || defined(VAK_SCAN_AVX512_EMULATED)

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#ifdef VAK_SCAN_AVX512_EMULATED
#define VAK_AVX512
#else
#include <immintrin.h>
#define VAK_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,bmi2")))
#endif

#include <array>

#include "scan/chunk_classes.hpp"
#include "scan/word_model.hpp"

namespace vak::scan {

namespace {

// Byte-shuffle tables, the same 16 entries in each 128-bit block.
constexpr std::array<std::uint8_t, 64> repeat16(const std::array<std::uint8_t, 16>& entries) {
    std::array<std::uint8_t, 64> table{};
    for (std::size_t k = 0; k < 64; ++k) table[k] = entries[k % 16];
    return table;
}
constexpr auto kHighNibbleClasses = repeat16(kHighNibbleModality);
constexpr auto kLowNibbleClasses = repeat16(kLowNibbleModality);
constexpr auto kLaneOfClass = repeat16(kLaneOfShuffle);

// The classes of sixteen words, one per 32-bit element (as the AVX2 kernel,
// with mask registers instead of blends).
VAK_AVX512 __attribute__((always_inline)) inline __m512i classify16(__m512i w, __m512i next) {
    const __m512i high_table = _mm512_loadu_si512(kHighNibbleClasses.data());
    const __m512i low_table = _mm512_loadu_si512(kLowNibbleClasses.data());
    const __m512i nibble = _mm512_set1_epi32(0xF);
    const __m512i head_mask = _mm512_set1_epi32(static_cast<int>(kTasteHeadMask));

    const __m512i high = _mm512_and_si512(_mm512_srli_epi32(w, kFlagByteShift + 4), nibble);
    const __m512i low = _mm512_and_si512(_mm512_srli_epi32(w, kFlagByteShift), nibble);
    const __m512i range = _mm512_srli_epi32(w, kRangeShift);
    const __m512i high_class = _mm512_shuffle_epi8(high_table, high);
    const __m512i low_class = _mm512_shuffle_epi8(low_table, low);
    const __m512i flag_byte_class = _mm512_mask_blend_epi32(
        _mm512_cmpeq_epi32_mask(high_class, _mm512_setzero_si512()), high_class, low_class);
    const __m512i mental_bit_class = _mm512_maskz_mov_epi32(
        _mm512_test_epi32_mask(low, _mm512_set1_epi32(kMentalFlag)), _mm512_set1_epi32(kMental));
    __m512i cls = _mm512_maskz_mov_epi32(
        _mm512_cmpeq_epi32_mask(range, _mm512_set1_epi32(kFlagByteRange)), flag_byte_class);
    cls = _mm512_mask_mov_epi32(
        cls, _mm512_cmpeq_epi32_mask(range, _mm512_set1_epi32(kMentalBitRange)), mental_bit_class);
    const auto may_start =
        static_cast<__mmask16>(_mm512_cmpeq_epi32_mask(_mm512_and_si512(w, head_mask),
                                                       _mm512_set1_epi32(taste_head(0x8))) &
                               _mm512_cmpeq_epi32_mask(_mm512_and_si512(next, head_mask),
                                                       _mm512_set1_epi32(taste_head(0x9))));
    cls = _mm512_mask_mov_epi32(cls, may_start,
                                _mm512_or_si512(cls, _mm512_set1_epi32(kMayStartTaste)));
    const auto invalid = static_cast<__mmask16>(
        _mm512_test_epi32_mask(w, _mm512_set1_epi32(static_cast<int>(kOutOfRangeBits))));
    return _mm512_mask_mov_epi32(cls, invalid, _mm512_set1_epi32(kInvalidClass));
}

// 64 words per step, packed into 64 class bytes.
VAK_AVX512 std::size_t classify_words(const std::uint32_t* words, std::size_t n,
                                      std::size_t available, std::uint8_t* classes) {
    // Packing works within 128-bit blocks; this puts the four groups back in order.
    const __m512i group_order =
        _mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
    std::size_t k = 0;
    // The taste mark looks one word ahead, so a step of 64 may read words[k + 64].
    for (; k + 64 <= n && k + 65 <= available; k += 64) {
        __m512i c[4];
        for (unsigned g = 0; g < 4; ++g) {
            c[g] = classify16(_mm512_loadu_si512(words + k + 16 * g),
                              _mm512_loadu_si512(words + k + 16 * g + 1));
        }
        const __m512i bytes =
            _mm512_packus_epi16(_mm512_packus_epi32(c[0], c[1]), _mm512_packus_epi32(c[2], c[3]));
        _mm512_storeu_si512(classes + k, _mm512_permutexvar_epi32(group_order, bytes));
    }
    return k;
}

// 64 classes per step; the change bits of a step are one byte-compare mask.
VAK_AVX512 std::size_t summarise(const std::uint8_t* classes, std::size_t n,
                                 ChunkSummary& summary) {
    // The first step compares classes[1..65) with classes[0..64) (classes[-1]
    // does not exist), so it needs 65 classes.
    if (n < 65) return 0;
    const __m512i invalid = _mm512_set1_epi8(static_cast<char>(kInvalidClass));
    __m512i any = _mm512_setzero_si512();
    std::uint64_t any_invalid = 0;
    std::size_t k = 0;
    for (; k + 64 <= n; k += 64) {
        const __m512i now = _mm512_loadu_si512(classes + k);
        any = _mm512_or_si512(any, now);
        any_invalid |= _mm512_cmpeq_epi8_mask(now, invalid);
        std::uint64_t differs;
        if (k == 0) {
            differs = _mm512_cmp_epi8_mask(_mm512_loadu_si512(classes + 1), now, _MM_CMPINT_NE)
                      << 1;
        } else {
            differs = _mm512_cmp_epi8_mask(now, _mm512_loadu_si512(classes + k - 1), _MM_CMPINT_NE);
        }
        summary.change_bits[k / 64] = differs;
        summary.changes += static_cast<std::size_t>(__builtin_popcountll(differs));
    }
    summary.any_invalid = any_invalid != 0;
    summary.any_taste_start = _mm512_movepi8_mask(any) != 0;
    return k;
}

VAK_AVX512 void classify_chunk(const std::uint32_t* words, std::size_t n, std::size_t available,
                               std::uint8_t* classes, ChunkSummary& summary) {
    summary = ChunkSummary{};
    portable::classify_range(words, classify_words(words, n, available, classes), n, available,
                             classes);
    portable::summarise_range(classes, summarise(classes, n, summary), n, summary);
}

VAK_AVX512 std::size_t next_taste_mark(const std::uint8_t* classes, std::size_t from,
                                       std::size_t n) {
    std::size_t k = from;
    for (; k + 64 <= n; k += 64) {
        const std::uint64_t marks = _mm512_movepi8_mask(_mm512_loadu_si512(classes + k));
        if (marks != 0) return k + static_cast<std::size_t>(__builtin_ctzll(marks));
    }
    for (; k < n; ++k) {
        if (classes[k] & kMayStartTaste) return k;
    }
    return n;
}

VAK_AVX512 std::size_t count_class(const std::uint8_t* classes, std::size_t n, std::uint8_t value) {
    const __m512i wanted = _mm512_set1_epi8(static_cast<char>(value));
    std::size_t count = 0;
    std::size_t k = 0;
    for (; k + 64 <= n; k += 64) {
        count += static_cast<std::size_t>(
            __builtin_popcountll(_mm512_cmpeq_epi8_mask(_mm512_loadu_si512(classes + k), wanted)));
    }
    for (; k < n; ++k) count += classes[k] == value;
    return count;
}

// 64 entries per step. For each lane present: vpcompressd gathers its words of
// each group of sixteen to the front, stored whole at the cursor, which then
// moves by their number; span starts likewise, from the positions where the
// lane's runs begin (pext maps those positions to the ranks of the lane's words).
VAK_AVX512 unsigned append_mixed(const std::uint32_t* words, const std::uint8_t* classes,
                                 std::size_t n, LaneCursor* lanes, unsigned prev_lane) {
    const __m512i lane_table = _mm512_loadu_si512(kLaneOfClass.data());
    const __m512i iota = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    std::size_t k = 0;
    for (; k + 64 <= n; k += 64) {
        const __m512i lane_bytes = _mm512_shuffle_epi8(lane_table, _mm512_loadu_si512(classes + k));
        __m512i group[4];
        for (unsigned g = 0; g < 4; ++g) group[g] = _mm512_loadu_si512(words + k + 16 * g);
        for (unsigned lane = 0; lane <= kTextLane; ++lane) {
            const std::uint64_t mask =
                _mm512_cmpeq_epi8_mask(lane_bytes, _mm512_set1_epi8(static_cast<char>(lane)));
            if (mask == 0) continue;
            LaneCursor& cursor = lanes[lane];
            const std::uint64_t run_starts =
                lane == kTextLane ? 0 : mask & ~((mask << 1) | (prev_lane == lane ? 1u : 0u));
            // Local cursors: the compiler may not keep fields in registers across
            // vector stores, which may alias anything.
            std::uint32_t* out = cursor.words;
            std::uint32_t* starts = cursor.starts;
            const std::uint32_t* const base = cursor.base;
            for (unsigned g = 0; g < 4; ++g) {
                const auto part = static_cast<std::uint32_t>((mask >> (16 * g)) & 0xFFFF);
                const auto offset = static_cast<int>(out - base);
                _mm512_storeu_si512(
                    out, _mm512_maskz_compress_epi32(static_cast<__mmask16>(part), group[g]));
                out += __builtin_popcount(part);
                // Stored whether or not the group opens a run (not for the text
                // lane, which has none): a branch on it is mispredicted whenever
                // runs are short.
                if (lane != kTextLane) {
                    const std::uint32_t ranks = _pext_u32(
                        static_cast<std::uint32_t>((run_starts >> (16 * g)) & 0xFFFF), part);
                    _mm512_storeu_si512(starts,
                                        _mm512_maskz_compress_epi32(
                                            static_cast<__mmask16>(ranks),
                                            _mm512_add_epi32(iota, _mm512_set1_epi32(offset))));
                    starts += __builtin_popcount(ranks);
                }
            }
            cursor.words = out;
            cursor.starts = starts;
        }
        prev_lane = kLaneOf[classes[k + 63]];
    }
    return portable::append_mixed(words + k, classes + k, n - k, lanes, prev_lane);
}

}  // namespace

const ChunkKernels kAvx512Kernels = {classify_chunk, next_taste_mark, count_class, append_mixed};

}  // namespace vak::scan

#endif  // VAK_X86_64 or emulated
