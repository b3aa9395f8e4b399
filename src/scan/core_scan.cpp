#include "scan/core_scan.hpp"

#include <cinttypes>
#include <cstdio>

#include "common/invariant.hpp"
#include "scan/word_model.hpp"

namespace vak::scan {

namespace {

// Position of each modality among the segment arrays; -1 for text and inline.
constexpr std::array<int, kModalityCount> kSegmentSlot = {-1, 0, 1, 2, 3, -1, 4, 5, 6, 7};
constexpr int kTasteSlot = 7;

// Starting capacities, in words, of the per-modality arrays for n input words.
void reserve_for(ScanRecord& record, std::size_t n) {
    record.text_words.reserve(n / 10 + 8);
    const std::array<std::size_t, kSegmentModalityCount> capacity = {
        n / 8 + 8,  n / 16 + 8, n / 24 + 8, (5 * n) / 8 + 8,
        n / 24 + 8, n / 24 + 8, n / 32 + 8, n / 32 + 8,
    };
    for (std::size_t s = 0; s < kSegmentModalityCount; ++s) {
        record.words[s].reserve(capacity[s]);
        record.spans[s].reserve(capacity[s] / 8 + 4);
    }
}

class Walker {
public:
    explicit Walker(ScanRecord& record) : record_(record) {}

    void close_segment() {
        if (open_ < 0) return;
        const std::size_t length = record_.words[open_].size() - open_start_;
        if (length > 0) {
            record_.spans[open_].push_back(static_cast<std::uint32_t>(open_start_));
            record_.spans[open_].push_back(static_cast<std::uint32_t>(length));
        }
        open_ = -1;
    }

    void put_segment_word(int slot, Modality modality, std::uint32_t w) {
        ++record_.counts[modality];
        if (open_ != slot) {
            close_segment();
            open_ = slot;
            open_start_ = record_.words[slot].size();
        }
        record_.words[slot].push_back(w);
    }

    void put_text_word(Modality modality, std::uint32_t w) {
        close_segment();
        ++record_.counts[modality];
        record_.text_words.push_back(w);
    }

private:
    ScanRecord& record_;
    int open_ = -1;
    std::size_t open_start_ = 0;
};

// The walk shared by both paths; `message_for(i, w)` makes an invalid entry's message.
template <class MessageFor>
void walk(ScanRecord& record, const std::uint32_t* words, std::size_t n, bool record_invalid,
          MessageFor&& message_for) {
    VAK_EXPECT(n <= kMaxStreamLength, "stream length fits the 32-bit span fields");
    Walker walker(record);
    std::size_t i = 0;
    while (i < n) {
        const std::uint32_t w = words[i];
        if (!is_valid(w)) {
            walker.close_segment();
            if (record_invalid) record.validation_errors.push_back(message_for(i, w));
            ++i;
            continue;
        }
        const std::size_t taste_end = taste_sequence_end(words, n, i);
        if (taste_end != i) {
            for (; i < taste_end; ++i) walker.put_segment_word(kTasteSlot, kTaste, words[i]);
            continue;
        }
        const Modality modality = classify(w);
        const int slot = kSegmentSlot[modality];
        if (slot < 0) walker.put_text_word(modality, w);
        else walker.put_segment_word(slot, modality, w);
        ++i;
    }
    walker.close_segment();
}

}  // namespace

ScanRecord scan_words(const std::uint32_t* words, std::size_t n, bool record_invalid) {
    ScanRecord record;
    reserve_for(record, n);
    walk(record, words, n, record_invalid, [](std::size_t i, std::uint32_t w) {
        char text[64];
        const int length = std::snprintf(text, sizeof text, "index %zu: word out of range %" PRIu32,
                                         i, w);
        return MiString(text, static_cast<std::size_t>(length));
    });
    return record;
}

ScanRecord scan_entries(const std::uint32_t* words, std::size_t n, bool record_invalid,
                        Vec<MiString>& item_errors) {
    ScanRecord record;
    std::size_t next_error = 0;
    walk(record, words, n, record_invalid, [&](std::size_t, std::uint32_t) {
        VAK_EXPECT(next_error < item_errors.size(), "every item error has a message");
        return std::move(item_errors[next_error++]);
    });
    return record;
}

}  // namespace vak::scan
