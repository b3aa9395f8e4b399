#include "scan/chunk_classes.hpp"

#if defined(__x86_64__) || defined(__i386__)
#define VAK_SCAN_X86_VECTORS 1
#include <immintrin.h>
#endif

#include <algorithm>
#include <array>

#include "scan/word_model.hpp"

namespace vak::scan {

namespace {

constexpr std::array<std::uint8_t, 4097> kClassTable = [] {
    std::array<std::uint8_t, 4097> table{};
    for (std::uint32_t bits = 0; bits < 4096; ++bits) {
        table[bits] = classify_bits(bits);
    }
    table[4096] = kInvalidClass;  // every word above 0xFFFFF
    return table;
}();

// The class of one word, from the table (the reference for the vector path).
std::uint8_t class_of(std::uint32_t word) {
    return kClassTable[std::min<std::uint32_t>(word >> 8, 4096)];
}

void summarise_scalar(const std::uint8_t* classes, std::size_t n, ChunkSummary& summary) {
    std::uint8_t any = 0;
    for (std::size_t k = 0; k < n; ++k) {
        any |= classes[k];
        summary.any_invalid |= classes[k] == kInvalidClass;
        if (k > 0 && classes[k] != classes[k - 1]) {
            summary.change_bits[k / 64] |= std::uint64_t{1} << (k % 64);
            ++summary.changes;
        }
    }
    summary.any_taste_start = (any & kMayStartTaste) != 0;
}

void classify_scalar(const std::uint32_t* words, std::size_t from, std::size_t n,
                     std::size_t available, std::uint8_t* classes) {
    for (std::size_t k = from; k < n; ++k) {
        std::uint8_t cls = class_of(words[k]);
        if (is_taste_head(words[k], 0x8) && k + 1 < available && is_taste_head(words[k + 1], 0x9)) {
            cls |= kMayStartTaste;
        }
        classes[k] = cls;
    }
}

#if VAK_SCAN_X86_VECTORS

// The classes of eight words, one per 32-bit lane; `next` holds the words one
// ahead. Bits 15-12 decide a range-2 word by the table of the high nibble (music,
// voice, diagram, inline); only when those bits are clear do bits 11-8 decide
// (touch, image, smell, mental, else text).
__attribute__((target("avx2"), always_inline)) inline __m256i classify8(__m256i w, __m256i next) {
    const __m256i high_table = _mm256_setr_epi8(
        0, kInline, kVoice, kVoice, kMusic, kMusic, kMusic, kMusic, kDiagram, kDiagram, kVoice,
        kVoice, kMusic, kMusic, kMusic, kMusic, 0, kInline, kVoice, kVoice, kMusic, kMusic, kMusic,
        kMusic, kDiagram, kDiagram, kVoice, kVoice, kMusic, kMusic, kMusic, kMusic);
    const __m256i low_table = _mm256_setr_epi8(
        0, kMental, kSmell, kSmell, kImage, kImage, kImage, kImage, kTouch, kTouch, kTouch, kTouch,
        kTouch, kTouch, kTouch, kTouch, 0, kMental, kSmell, kSmell, kImage, kImage, kImage, kImage,
        kTouch, kTouch, kTouch, kTouch, kTouch, kTouch, kTouch, kTouch);
    const __m256i nibble = _mm256_set1_epi32(0xF);
    const __m256i zero = _mm256_setzero_si256();
    const __m256i one = _mm256_set1_epi32(1);
    const __m256i head_mask = _mm256_set1_epi32(static_cast<int>(0xFFFF0400u));

    const __m256i high = _mm256_and_si256(_mm256_srli_epi32(w, 12), nibble);
    const __m256i low = _mm256_and_si256(_mm256_srli_epi32(w, 8), nibble);
    const __m256i range = _mm256_srli_epi32(w, 18);
    const __m256i high_class = _mm256_shuffle_epi8(high_table, high);
    const __m256i low_class = _mm256_shuffle_epi8(low_table, low);
    const __m256i range2 =
        _mm256_blendv_epi8(high_class, low_class, _mm256_cmpeq_epi32(high_class, zero));
    const __m256i range3 = _mm256_and_si256(_mm256_set1_epi32(kMental),
                                            _mm256_cmpeq_epi32(_mm256_and_si256(low, one), one));
    __m256i cls = _mm256_and_si256(range2, _mm256_cmpeq_epi32(range, _mm256_set1_epi32(2)));
    cls = _mm256_or_si256(
        cls, _mm256_and_si256(range3, _mm256_cmpeq_epi32(range, _mm256_set1_epi32(3))));
    const __m256i may_start = _mm256_and_si256(
        _mm256_cmpeq_epi32(_mm256_and_si256(w, head_mask), _mm256_set1_epi32(0x80400)),
        _mm256_cmpeq_epi32(_mm256_and_si256(next, head_mask), _mm256_set1_epi32(0x90400)));
    cls = _mm256_or_si256(cls, _mm256_and_si256(may_start, _mm256_set1_epi32(kMayStartTaste)));
    const __m256i is_valid = _mm256_cmpeq_epi32(_mm256_srli_epi32(w, 20), zero);
    return _mm256_blendv_epi8(_mm256_set1_epi32(kInvalidClass), cls, is_valid);
}

// 32 words per step, packed into 32 class bytes.
__attribute__((target("avx2"))) std::size_t classify_avx2(const std::uint32_t* words,
                                                          std::size_t n, std::size_t available,
                                                          std::uint8_t* classes) {
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
        const __m256i bytes = _mm256_packus_epi16(_mm256_packus_epi32(c0, c1),
                                                  _mm256_packus_epi32(c2, c3));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(classes + k),
                            _mm256_permutevar8x32_epi32(bytes, group_order));
    }
    return k;
}

// 32 classes per step: compares each class with its predecessor for the change
// bitmap, and folds the whole chunk for the invalid and taste-mark flags.
__attribute__((target("avx2"))) void summarise_avx2(const std::uint8_t* classes, std::size_t n,
                                                    ChunkSummary& summary) {
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
            const __m256i prev = _mm256_alignr_epi8(
                now, _mm256_permute2x128_si256(now, now, 0x08), 15);
            differs = ~static_cast<std::uint32_t>(
                          _mm256_movemask_epi8(_mm256_cmpeq_epi8(now, prev))) & ~1u;
        } else {
            const __m256i prev =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(classes + k - 1));
            differs = ~static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(now, prev)));
        }
        summary.change_bits[k / 64] |= static_cast<std::uint64_t>(differs) << (k % 64);
        summary.changes += static_cast<std::size_t>(__builtin_popcount(differs));
    }
    std::uint8_t tail_any = 0;
    for (; k < n; ++k) {
        tail_any |= classes[k];
        summary.any_invalid |= classes[k] == kInvalidClass;
        if (k > 0 && classes[k] != classes[k - 1]) {
            summary.change_bits[k / 64] |= std::uint64_t{1} << (k % 64);
            ++summary.changes;
        }
    }
    summary.any_invalid |= _mm256_movemask_epi8(any_invalid) != 0;
    summary.any_taste_start = _mm256_movemask_epi8(any) != 0 || (tail_any & kMayStartTaste) != 0;
}

__attribute__((target("avx2"))) std::size_t next_taste_mark_avx2(const std::uint8_t* classes,
                                                                 std::size_t from, std::size_t n) {
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

__attribute__((target("avx2"))) std::size_t count_class_avx2(const std::uint8_t* classes,
                                                             std::size_t n, std::uint8_t value) {
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

bool has_avx2() {
    static const bool supported = __builtin_cpu_supports("avx2");
    return supported;
}

#else

// Not an x86 processor: the dispatchers below always take the portable path,
// and these stand-ins only keep them compiling.
constexpr bool has_avx2() { return false; }
std::size_t classify_avx2(const std::uint32_t*, std::size_t, std::size_t, std::uint8_t*) {
    return 0;
}
void summarise_avx2(const std::uint8_t* classes, std::size_t n, ChunkSummary& summary) {
    summarise_scalar(classes, n, summary);
}
std::size_t next_taste_mark_avx2(const std::uint8_t* classes, std::size_t from, std::size_t n) {
    return portable::next_taste_mark(classes, from, n);
}
std::size_t count_class_avx2(const std::uint8_t* classes, std::size_t n, std::uint8_t value) {
    return portable::count_class(classes, n, value);
}

#endif  // VAK_SCAN_X86_VECTORS

}  // namespace

void classify_chunk(const std::uint32_t* words, std::size_t n, std::size_t available,
                    std::uint8_t* classes, ChunkSummary& summary) {
    if (!has_avx2()) {
        portable::classify_chunk(words, n, available, classes, summary);
        return;
    }
    summary = ChunkSummary{};
    const std::size_t done = classify_avx2(words, n, available, classes);
    classify_scalar(words, done, n, available, classes);
    summarise_avx2(classes, n, summary);
}

std::size_t next_taste_mark(const std::uint8_t* classes, std::size_t from, std::size_t n) {
    if (!has_avx2()) return portable::next_taste_mark(classes, from, n);
    return next_taste_mark_avx2(classes, from, n);
}

std::size_t count_class(const std::uint8_t* classes, std::size_t n, std::uint8_t value) {
    if (!has_avx2()) return portable::count_class(classes, n, value);
    return count_class_avx2(classes, n, value);
}

namespace portable {

void classify_chunk(const std::uint32_t* words, std::size_t n, std::size_t available,
                    std::uint8_t* classes, ChunkSummary& summary) {
    summary = ChunkSummary{};
    classify_scalar(words, 0, n, available, classes);
    summarise_scalar(classes, n, summary);
}

std::size_t next_taste_mark(const std::uint8_t* classes, std::size_t from, std::size_t n) {
    for (std::size_t k = from; k < n; ++k) {
        if (classes[k] & kMayStartTaste) return k;
    }
    return n;
}

std::size_t count_class(const std::uint8_t* classes, std::size_t n, std::uint8_t value) {
    std::size_t count = 0;
    for (std::size_t k = 0; k < n; ++k) count += classes[k] == value;
    return count;
}

}  // namespace portable

}  // namespace vak::scan
