// Fuzzes the core scan against a plain word-by-word model of the stream.
//
// Input: a flag byte (bit 0 record_invalid, bit 1 run-length groups, bit 2 also
// scan the tolerant path's entries), then word groups. A word takes three bytes
// v = b0 | b1 << 8 | b2 << 16: when the top nibble of b2 is 0xF the word is out of
// range (0x100000 | low 20 bits << 12, or 0xFFFFFFFF for all ones), otherwise it
// is v & 0xFFFFF. With run-length groups a fourth byte repeats the word up to 256
// times, so that long runs and chunk boundaries are cheap to reach.
#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "scan/core_scan.hpp"

namespace {

using vak::scan::ScanRecord;

constexpr std::size_t kMaxWords = 1 << 15;

// Modality indexes as in the "counts" list; kTaste is reached only by sequences.
enum : unsigned {
    kText,
    kDiagram,
    kMusic,
    kVoice,
    kImage,
    kInline,
    kMental,
    kTouch,
    kSmell,
    kTaste
};
// Segment slot of each modality (the record's array order), or -1 for text and inline.
constexpr std::array<int, 10> kSlotOf = {-1, 0, 1, 2, 3, -1, 4, 5, 6, 7};

std::uint32_t word_from(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2) {
    const std::uint32_t low20 = b0 | (std::uint32_t{b1} << 8) | ((std::uint32_t{b2} & 0x0F) << 16);
    if ((b2 >> 4) != 0xF) return low20;
    return low20 == 0xFFFFF ? 0xFFFFFFFFu : (0x100000u | (low20 << 12));
}

bool valid(std::uint32_t w) {
    return w <= 0xFFFFF;
}

// The flag byte table in its table form (the scanner may use the priority rule).
unsigned flag_byte_modality(std::uint32_t flag) {
    if (flag == 0x00) return kText;
    if (flag == 0x01) return kMental;
    if (flag <= 0x03) return kSmell;
    if (flag <= 0x07) return kImage;
    if (flag <= 0x0F) return kTouch;
    if (flag <= 0x1F) return kInline;
    if (flag <= 0x3F) return kVoice;
    if (flag <= 0x7F) return kMusic;
    if (flag <= 0x9F) return kDiagram;
    if (flag <= 0xBF) return kVoice;
    return kMusic;
}

unsigned modality_of(std::uint32_t w) {
    switch (w >> 18) {
        case 2: return flag_byte_modality((w >> 8) & 0xFF);
        case 3: return (w & 0x100) != 0 ? kMental : kText;
        default: return kText;
    }
}

bool taste_head(std::uint32_t w, std::uint32_t nibble) {
    return valid(w) && (w >> 16) == nibble && (w & 0x400) != 0;
}
bool taste_continuation(std::uint32_t w) {
    return valid(w) && ((w >> 16) == 0xA || (w >> 16) == 0xB) && (w & 0x400) != 0;
}

// The expected record, walking the stream one word at a time.
struct Model {
    std::vector<std::uint32_t> text;
    std::array<std::vector<std::uint32_t>, 8> words;
    std::array<std::vector<std::uint32_t>, 8> spans;
    std::array<std::uint64_t, 10> counts{};
    std::vector<std::size_t> invalid_positions;
    int open_slot = -1;

    void close() {
        if (open_slot >= 0 && spans[open_slot].size() % 2 == 1) {
            const std::uint32_t start = spans[open_slot].back();
            spans[open_slot].push_back(static_cast<std::uint32_t>(words[open_slot].size()) - start);
        }
        open_slot = -1;
    }

    void put(unsigned modality, std::uint32_t w) {
        ++counts[modality];
        const int slot = kSlotOf[modality];
        if (slot < 0) {
            close();
            text.push_back(w);
            return;
        }
        if (open_slot != slot) {
            close();
            open_slot = slot;
            spans[slot].push_back(static_cast<std::uint32_t>(words[slot].size()));
        }
        words[slot].push_back(w);
    }

    explicit Model(const std::vector<std::uint32_t>& s) {
        std::size_t i = 0;
        while (i < s.size()) {
            if (!valid(s[i])) {
                close();
                invalid_positions.push_back(i++);
            } else if (i + 2 < s.size() && taste_head(s[i], 0x8) && taste_head(s[i + 1], 0x9) &&
                       taste_head(s[i + 2], 0xA)) {
                std::size_t j = i + 3;
                while (j < s.size() && taste_continuation(s[j])) ++j;
                for (; i < j; ++i) put(kTaste, s[i]);
            } else {
                put(modality_of(s[i]), s[i]);
                ++i;
            }
        }
        close();
    }
};

template <class Payload>
bool same(const Payload& got, const std::vector<std::uint32_t>& expected) {
    return got.size() == expected.size() &&
           std::equal(expected.begin(), expected.end(), got.begin());
}

// Properties every record has, whatever the stream.
void check_shape(const ScanRecord& r, std::size_t valid_words) {
    std::uint64_t total = 0;
    for (std::uint64_t c : r.counts) total += c;
    FUZZ_CHECK(total == valid_words, "counts add up to %" PRIu64 ", valid words %zu", total,
               valid_words);
    FUZZ_CHECK(r.counts[kText] + r.counts[kInline] == r.text_words.size(), "text array length");
    for (std::size_t slot = 0; slot < 8; ++slot) {
        const auto& spans = r.spans[slot];
        const std::size_t length = r.words[slot].size();
        FUZZ_CHECK(r.counts[vak::scan::kSegmentModalities[slot]] == length, "count of slot %zu",
                   slot);
        FUZZ_CHECK(spans.size() % 2 == 0, "spans come in pairs (slot %zu)", slot);
        std::uint64_t next = 0;
        for (std::size_t k = 0; k < spans.size(); k += 2) {
            FUZZ_CHECK(spans[k] == next, "span %zu of slot %zu starts at %" PRIu32 ", not %" PRIu64,
                       k / 2, slot, spans[k], next);
            FUZZ_CHECK(spans[k + 1] >= 1, "empty span %zu of slot %zu", k / 2, slot);
            next += spans[k + 1];
        }
        FUZZ_CHECK(next == length, "spans of slot %zu cover %" PRIu64 " of %zu words", slot, next,
                   length);
    }
}

void check_against_model(const ScanRecord& r, const Model& m) {
    FUZZ_CHECK(same(r.text_words, m.text), "text words");
    for (std::size_t slot = 0; slot < 8; ++slot) {
        FUZZ_CHECK(same(r.words[slot], m.words[slot]), "words of slot %zu", slot);
        FUZZ_CHECK(same(r.spans[slot], m.spans[slot]), "spans of slot %zu", slot);
    }
    for (std::size_t k = 0; k < 10; ++k) {
        FUZZ_CHECK(r.counts[k] == m.counts[k], "count %zu: %" PRIu64 " instead of %" PRIu64, k,
                   r.counts[k], m.counts[k]);
    }
}

// Every valid word sits in exactly one array, in stream order: consuming the
// arrays by the model's classification gives back the valid words of the stream.
void check_stream_order(const ScanRecord& r, const std::vector<std::uint32_t>& s) {
    std::size_t text_next = 0;
    std::array<std::size_t, 8> next{};
    std::size_t i = 0;
    auto take = [&](unsigned modality, std::uint32_t w, std::size_t position) {
        const int slot = kSlotOf[modality];
        if (slot < 0) {
            FUZZ_CHECK(text_next < r.text_words.size() && r.text_words[text_next] == w,
                       "stream word %zu is not the next text word", position);
            ++text_next;
        } else {
            FUZZ_CHECK(next[slot] < r.words[slot].size() && r.words[slot][next[slot]] == w,
                       "stream word %zu is not the next word of slot %d", position, slot);
            ++next[slot];
        }
    };
    while (i < s.size()) {
        if (!valid(s[i])) {
            ++i;
            continue;
        }
        if (i + 2 < s.size() && taste_head(s[i], 0x8) && taste_head(s[i + 1], 0x9) &&
            taste_head(s[i + 2], 0xA)) {
            std::size_t j = i + 3;
            while (j < s.size() && taste_continuation(s[j])) ++j;
            for (; i < j; ++i) take(kTaste, s[i], i);
            continue;
        }
        take(modality_of(s[i]), s[i], i);
        ++i;
    }
    FUZZ_CHECK(text_next == r.text_words.size(), "text array holds words the stream has not");
    for (std::size_t slot = 0; slot < 8; ++slot) {
        FUZZ_CHECK(next[slot] == r.words[slot].size(), "slot %zu holds words the stream has not",
                   slot);
    }
}

void check_errors(const ScanRecord& r, const Model& m, const std::vector<std::uint32_t>& s,
                  bool record_invalid) {
    if (!record_invalid) {
        FUZZ_CHECK(r.invalid_entries.empty(), "invalid entries noted without record_invalid");
        return;
    }
    FUZZ_CHECK(r.invalid_entries.size() == m.invalid_positions.size(),
               "%zu invalid entries noted for %zu invalid words", r.invalid_entries.size(),
               m.invalid_positions.size());
    for (std::size_t k = 0; k < m.invalid_positions.size(); ++k) {
        const std::size_t i = m.invalid_positions[k];
        FUZZ_CHECK(r.invalid_entries[k].index == i && r.invalid_entries[k].word == s[i],
                   "invalid entry %zu: index %llu word %u", k,
                   static_cast<unsigned long long>(r.invalid_entries[k].index),
                   static_cast<unsigned>(r.invalid_entries[k].word));
    }
}

// The tolerant path's entries: invalid words become item errors, and everything
// else must come out as from the words.
void check_entries(const ScanRecord& from_words, const Model& m, std::vector<std::uint32_t> s,
                   bool record_invalid) {
    for (std::size_t i : m.invalid_positions) s[i] = vak::scan::kItemError;
    const ScanRecord r = vak::scan::scan_words(s.data(), s.size(), record_invalid);
    check_against_model(r, m);
    FUZZ_CHECK(r.counts == from_words.counts, "entries: counts");
    check_errors(r, m, s, record_invalid);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::report_kernel_path();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::ByteReader in(data, size);
    const std::uint8_t flags = in.byte();
    const bool record_invalid = (flags & 1) != 0;
    const bool run_length = (flags & 2) != 0;
    const bool entries = (flags & 4) != 0;

    std::vector<std::uint32_t> stream;
    while (in.remaining() >= (run_length ? 4u : 3u) && stream.size() < kMaxWords) {
        const std::uint8_t b0 = in.byte(), b1 = in.byte(), b2 = in.byte();
        const std::uint32_t w = word_from(b0, b1, b2);
        const std::size_t repeat = run_length ? std::size_t{in.byte()} + 1 : 1;
        for (std::size_t k = 0; k < repeat && stream.size() < kMaxWords; ++k) stream.push_back(w);
    }

    const ScanRecord record = vak::scan::scan_words(stream.data(), stream.size(), record_invalid);
    const Model model(stream);
    check_shape(record, stream.size() - model.invalid_positions.size());
    check_against_model(record, model);
    check_stream_order(record, stream);
    check_errors(record, model, stream, record_invalid);
    if (entries) check_entries(record, model, stream, record_invalid);
    return 0;
}
