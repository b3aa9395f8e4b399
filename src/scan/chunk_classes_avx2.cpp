// The chunk kernels on AVX2 (with BMI2): classes 32 at a time, appends eight
// words at a time per lane through a table of compressing permutations.
// Compiled on x86-64 only; elsewhere the portable kernels serve every path.
#include "common/kernel_choice.hpp"
#ifdef VAK_X86_64

#include <immintrin.h>

#include <array>

#include "scan/chunk_classes.hpp"
#include "scan/word_model.hpp"

#define VAK_AVX2 __attribute__((target("avx2,bmi2")))

namespace vak::scan {

namespace {

// A 16-entry byte table in both 128-bit halves, for _mm256_shuffle_epi8.
VAK_AVX2 __attribute__((always_inline)) inline __m256i shuffle_table(
    const std::array<std::uint8_t, 16>& entries) {
    return _mm256_broadcastsi128_si256(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(entries.data())));
}

// The classes of eight words, one per 32-bit lane; `next` holds the words one
// ahead. A range-2 word is classified by the high nibble of its flag byte when
// it is set, and by the low nibble otherwise (word_model.hpp's split of the rule).
VAK_AVX2 __attribute__((always_inline)) inline __m256i classify8(__m256i w, __m256i next) {
    const __m256i high_table = shuffle_table(kHighNibbleModality);
    const __m256i low_table = shuffle_table(kLowNibbleModality);
    const __m256i nibble = _mm256_set1_epi32(0xF);
    const __m256i zero = _mm256_setzero_si256();
    const __m256i mental_flag = _mm256_set1_epi32(kMentalFlag);
    const __m256i head_mask = _mm256_set1_epi32(static_cast<int>(kTasteHeadMask));

    const __m256i high = _mm256_and_si256(_mm256_srli_epi32(w, kFlagByteShift + 4), nibble);
    const __m256i low = _mm256_and_si256(_mm256_srli_epi32(w, kFlagByteShift), nibble);
    const __m256i range = _mm256_srli_epi32(w, kRangeShift);
    const __m256i high_class = _mm256_shuffle_epi8(high_table, high);
    const __m256i low_class = _mm256_shuffle_epi8(low_table, low);
    const __m256i flag_byte_class =
        _mm256_blendv_epi8(high_class, low_class, _mm256_cmpeq_epi32(high_class, zero));
    const __m256i mental_bit_class =
        _mm256_and_si256(_mm256_set1_epi32(kMental),
                         _mm256_cmpeq_epi32(_mm256_and_si256(low, mental_flag), mental_flag));
    __m256i cls = _mm256_and_si256(flag_byte_class,
                                   _mm256_cmpeq_epi32(range, _mm256_set1_epi32(kFlagByteRange)));
    cls = _mm256_or_si256(
        cls, _mm256_and_si256(mental_bit_class,
                              _mm256_cmpeq_epi32(range, _mm256_set1_epi32(kMentalBitRange))));
    const __m256i may_start = _mm256_and_si256(
        _mm256_cmpeq_epi32(_mm256_and_si256(w, head_mask), _mm256_set1_epi32(taste_head(0x8))),
        _mm256_cmpeq_epi32(_mm256_and_si256(next, head_mask), _mm256_set1_epi32(taste_head(0x9))));
    cls = _mm256_or_si256(cls, _mm256_and_si256(may_start, _mm256_set1_epi32(kMayStartTaste)));
    const __m256i is_valid = _mm256_cmpeq_epi32(_mm256_srli_epi32(w, kWordBits), zero);
    return _mm256_blendv_epi8(_mm256_set1_epi32(kInvalidClass), cls, is_valid);
}

// 32 words per step, packed into 32 class bytes.
VAK_AVX2 std::size_t classify_words(const std::uint32_t* words, std::size_t n,
                                    std::size_t available, std::uint8_t* classes) {
    // Packing interleaves the 128-bit halves; this puts the four groups back in order.
    const __m256i group_order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    std::size_t k = 0;
    // The taste mark looks one word ahead, so a step of 32 may read words[k + 32].
    for (; k + 32 <= n && k + 33 <= available; k += 32) {
        const auto* at = reinterpret_cast<const __m256i_u*>(words + k);
        const auto* ahead = reinterpret_cast<const __m256i_u*>(words + k + 1);
        const __m256i c0 = classify8(_mm256_loadu_si256(at), _mm256_loadu_si256(ahead));
        const __m256i c1 = classify8(_mm256_loadu_si256(at + 1), _mm256_loadu_si256(ahead + 1));
        const __m256i c2 = classify8(_mm256_loadu_si256(at + 2), _mm256_loadu_si256(ahead + 2));
        const __m256i c3 = classify8(_mm256_loadu_si256(at + 3), _mm256_loadu_si256(ahead + 3));
        const __m256i bytes =
            _mm256_packus_epi16(_mm256_packus_epi32(c0, c1), _mm256_packus_epi32(c2, c3));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(classes + k),
                            _mm256_permutevar8x32_epi32(bytes, group_order));
    }
    return k;
}

// 32 classes per step: compares each class with its predecessor for the change
// bitmap, and folds the whole chunk for the invalid and taste-mark flags.
VAK_AVX2 std::size_t summarise(const std::uint8_t* classes, std::size_t n, ChunkSummary& summary) {
    const __m256i invalid = _mm256_set1_epi8(static_cast<char>(kInvalidClass));
    __m256i any = _mm256_setzero_si256();
    __m256i any_invalid = _mm256_setzero_si256();
    std::size_t k = 0;
    for (; k + 32 <= n; k += 32) {
        const __m256i now = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(classes + k));
        any = _mm256_or_si256(any, now);
        any_invalid = _mm256_or_si256(any_invalid, _mm256_cmpeq_epi8(now, invalid));
        std::uint32_t differs;
        if (k == 0) {
            // classes[-1] does not exist: shift the bytes by one within the vector.
            const __m256i prev =
                _mm256_alignr_epi8(now, _mm256_permute2x128_si256(now, now, 0x08), 15);
            differs =
                ~static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(now, prev))) &
                ~1u;
        } else {
            const __m256i prev =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(classes + k - 1));
            differs =
                ~static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(now, prev)));
        }
        summary.change_bits[k / 64] |= static_cast<std::uint64_t>(differs) << (k % 64);
        summary.changes += static_cast<std::size_t>(__builtin_popcount(differs));
    }
    summary.any_invalid = _mm256_movemask_epi8(any_invalid) != 0;
    summary.any_taste_start = _mm256_movemask_epi8(any) != 0;
    return k;
}

VAK_AVX2 void classify_chunk(const std::uint32_t* words, std::size_t n, std::size_t available,
                             std::uint8_t* classes, ChunkSummary& summary) {
    summary = ChunkSummary{};
    portable::classify_range(words, classify_words(words, n, available, classes), n, available,
                             classes);
    portable::summarise_range(classes, summarise(classes, n, summary), n, summary);
}

VAK_AVX2 std::size_t next_taste_mark(const std::uint8_t* classes, std::size_t from, std::size_t n) {
    std::size_t k = from;
    for (; k + 32 <= n; k += 32) {
        const auto marks = static_cast<std::uint32_t>(_mm256_movemask_epi8(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(classes + k))));
        if (marks != 0) return k + static_cast<std::size_t>(__builtin_ctz(marks));
    }
    for (; k < n; ++k) {
        if (classes[k] & kMayStartTaste) return k;
    }
    return n;
}

VAK_AVX2 std::size_t count_class(const std::uint8_t* classes, std::size_t n, std::uint8_t value) {
    const __m256i wanted = _mm256_set1_epi8(static_cast<char>(value));
    std::size_t count = 0;
    std::size_t k = 0;
    for (; k + 32 <= n; k += 32) {
        const __m256i now = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(classes + k));
        count += static_cast<std::size_t>(__builtin_popcount(
            static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(now, wanted)))));
    }
    for (; k < n; ++k) count += classes[k] == value;
    return count;
}

// For every 8-bit mask, the positions of its set bits in order: the permutation
// that gathers the selected words of eight to the front.
constexpr std::array<std::uint64_t, 256> kCompressOrder = [] {
    std::array<std::uint64_t, 256> table{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        unsigned out = 0;
        for (unsigned bit = 0; bit < 8; ++bit) {
            if (mask & (1u << bit)) table[mask] |= std::uint64_t{bit} << (8 * out++);
        }
    }
    return table;
}();

VAK_AVX2 __attribute__((always_inline)) inline __m256i compress8(__m256i values, unsigned mask) {
    const __m256i order =
        _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<long long>(kCompressOrder[mask])));
    return _mm256_permutevar8x32_epi32(values, order);
}

// Appends one lane's words among 32 entries (mask bit k: entry k is the lane's),
// each group of eight gathered to the front and stored whole. With spans, the
// offsets of the words in `opens` (those that open a run) go to the starts
// likewise, stored whether or not the group opens one: a branch there is
// mispredicted whenever runs are short.
template <bool kSpans>
VAK_AVX2 __attribute__((always_inline)) inline void append_lane(const __m256i* group,
                                                                std::uint32_t mask,
                                                                std::uint32_t opens,
                                                                LaneCursor& cursor) {
    const __m256i iota = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    // Local cursors: the compiler may not keep fields in registers across
    // vector stores, which may alias anything.
    std::uint32_t* out = cursor.words;
    std::uint32_t* starts = cursor.starts;
    const std::uint32_t* const base = cursor.base;
    for (unsigned g = 0; g < 4; ++g) {
        const unsigned part = (mask >> (8 * g)) & 0xFF;
        const auto offset = static_cast<int>(out - base);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), compress8(group[g], part));
        out += __builtin_popcount(part);
        if constexpr (kSpans) {
            const unsigned ranks = _pext_u32((opens >> (8 * g)) & 0xFF, part);
            const __m256i offsets = _mm256_add_epi32(iota, _mm256_set1_epi32(offset));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(starts), compress8(offsets, ranks));
            starts += __builtin_popcount(ranks);
        }
    }
    cursor.words = out;
    if constexpr (kSpans) cursor.starts = starts;
}

// The same for a lane with at most two words among the 32, word by word: both
// slots are written, the cursors move only past the real ones.
VAK_AVX2 __attribute__((always_inline)) inline void append_two(const std::uint32_t* words,
                                                               std::uint32_t mask,
                                                               std::uint32_t opens,
                                                               LaneCursor& cursor) {
    std::uint32_t* out = cursor.words;
    std::uint32_t* starts = cursor.starts;
    const auto offset = static_cast<std::uint32_t>(out - cursor.base);
    const std::uint32_t second = mask & (mask - 1);
    // A missing second word reads entry 31 into the slack.
    const auto j0 = static_cast<unsigned>(__builtin_ctz(mask));
    const auto j1 = static_cast<unsigned>(__builtin_ctz(second | 0x80000000u));
    out[0] = words[j0];
    out[1] = words[j1];
    starts[0] = offset;
    starts += (opens >> j0) & 1;
    starts[0] = offset + 1;
    starts += (opens >> j1) & (second != 0);
    cursor.words = out + __builtin_popcount(mask);
    cursor.starts = starts;
}

// 32 entries per step. Every lane present gets its words, and a segment lane its
// span starts at the entries whose lane differs from the previous entry's.
VAK_AVX2 unsigned append_mixed(const std::uint32_t* words, const std::uint8_t* classes,
                               std::size_t n, LaneCursor* lanes, unsigned prev_lane) {
    const __m256i lane_table = shuffle_table(kLaneOfShuffle);
    const __m256i first_byte = _mm256_setr_epi8(-1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    std::size_t k = 0;
    for (; k + 32 <= n; k += 32) {
        const __m256i lane_bytes = _mm256_shuffle_epi8(
            lane_table, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(classes + k)));
        // Each entry's predecessor's lane: the bytes moved up by one, prev_lane first.
        const __m256i before = _mm256_or_si256(
            _mm256_alignr_epi8(lane_bytes, _mm256_permute2x128_si256(lane_bytes, lane_bytes, 0x08),
                               15),
            _mm256_and_si256(first_byte, _mm256_set1_epi8(static_cast<char>(prev_lane))));
        const auto opens = ~static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(lane_bytes, before)));
        __m256i group[4];
        for (unsigned g = 0; g < 4; ++g) {
            group[g] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(words + k + 8 * g));
        }
        for (unsigned lane = 0; lane <= kTextLane; ++lane) {
            const auto mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(
                _mm256_cmpeq_epi8(lane_bytes, _mm256_set1_epi8(static_cast<char>(lane)))));
            if (mask == 0) continue;
            if (__builtin_popcount(mask) <= 2) {
                append_two(words + k, mask, opens, lanes[lane]);
            } else if (lane == kTextLane) {
                append_lane<false>(group, mask, 0, lanes[lane]);
            } else {
                append_lane<true>(group, mask, opens, lanes[lane]);
            }
        }
        prev_lane = kLaneOf[classes[k + 31]];
    }
    return portable::append_mixed(words + k, classes + k, n - k, lanes, prev_lane);
}

}  // namespace

const ChunkKernels kAvx2Kernels = {classify_chunk, next_taste_mark, count_class, append_mixed};

}  // namespace vak::scan

#endif  // VAK_X86_64
