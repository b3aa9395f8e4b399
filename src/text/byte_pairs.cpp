#include "text/byte_pairs.hpp"

#include <array>

#include "text/direct_set.hpp"

namespace vak::text {

namespace {

// The UTF-8 of the conjoining jamo, by table: the leading consonant and vowel
// of every (L, V) pair (six bytes, E1 84 xx E1 85 yy), and every trailing
// consonant (three bytes E1 86/87 zz, none for index 0).
constexpr std::size_t kLeadingVowelPairs = 19 * 21;
constexpr std::size_t kTrailingConsonants = 28;

constexpr std::array<std::uint64_t, kLeadingVowelPairs> make_leading_vowel_utf8() {
    std::array<std::uint64_t, kLeadingVowelPairs> table{};
    for (std::uint64_t lv = 0; lv < kLeadingVowelPairs; ++lv) {
        const std::uint64_t l = lv / 21, v = lv % 21;
        table[lv] = 0xE1 | (0x84ull << 8) | ((0x80 + l) << 16) | (0xE1ull << 24) | (0x85ull << 32) |
                    ((0xA1 + v) << 40);
    }
    return table;
}

constexpr std::array<std::uint32_t, kTrailingConsonants> make_trailing_utf8() {
    std::array<std::uint32_t, kTrailingConsonants> table{};
    for (std::uint32_t t = 1; t < kTrailingConsonants; ++t) {
        const std::uint32_t cp = 0x11A7 + t;
        table[t] = 0xE1 | ((0x80 | ((cp >> 6) & 0x3F)) << 8) | ((0x80 | (cp & 0x3F)) << 16);
    }
    return table;
}

constexpr auto kLeadingVowelUtf8 = make_leading_vowel_utf8();
constexpr auto kTrailingUtf8 = make_trailing_utf8();

std::uint32_t decode_starter(const std::uint8_t* utf8, unsigned length) noexcept {
    if (length == 1) return utf8[0];
    std::uint32_t cp = utf8[0] & (0x7F >> length);
    for (unsigned k = 1; k < length; ++k) cp = (cp << 6) | (utf8[k] & 0x3F);
    return cp;
}

}  // namespace

void UnitWriter::hangul(std::uint32_t cp) {
    close_marks();
    const std::uint32_t s = cp - kHangulFirst;
    const std::uint32_t lv = s / 28, t = s % 28;
    const std::uint64_t tail = kTrailingUtf8[t];
    const std::uint64_t first8 = kLeadingVowelUtf8[lv] | (tail << 48);
    std::memcpy(out_, &first8, 8);  // little-endian: byte k is bits 8k..8k+7
    out_[8] = static_cast<std::uint8_t>(tail >> 16);
    out_ += t != 0 ? 9 : 6;
}

void UnitWriter::close_marks_slow() {
    if (last_class_ == kPending) {
        sort_marks(pending_, scratch_);
        for (PendingMark mark : pending_) {
            const auto bytes = static_cast<std::uint32_t>(mark);
            std::memcpy(out_, &bytes, 4);  // little-endian: the first byte lowest; within the slack
            out_ += mark_length(mark);
        }
        pending_.clear();
    }
    last_class_ = 0;
}

void UnitWriter::mark_out_of_order(const std::uint8_t* utf8, unsigned length, unsigned ccc) {
    if (last_class_ != kPending) {
        // Take back the marks of this run written so far; from now on the run
        // collects until the next starter sorts and writes it.
        for (const std::uint8_t* p = marks_start_; p < out_;) {
            const unsigned n = p[0] < 0xE0 ? 2 : p[0] < 0xF0 ? 3 : 4;
            const std::uint32_t cp = decode_starter(p, n);
            pending_.push_back(pending_mark(p, n, tables::property(cp)));
            p += n;
        }
        out_ = marks_start_;
        last_class_ = kPending;
    }
    pending_.push_back(pending_mark(utf8, length, ccc));
}

void UnitWriter::decomposition_in_parts(const tables::DecompositionRecord& record) {
    const std::uint8_t* part = record.utf8;
    for (unsigned k = 0; k < record.parts; ++k) {
        const unsigned length = record.part_lengths[k];
        if (record.classes[k] != 0) {
            mark(part, length, record.classes[k]);
        } else if (const std::uint32_t cp = decode_starter(part, length); is_direct(cp)) {
            direct(cp);
        } else {
            starter_bytes(part, length);
        }
        part += length;
    }
}

}  // namespace vak::text
