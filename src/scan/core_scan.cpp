#include "scan/core_scan.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "common/invariant.hpp"
#include "scan/chunk_classes.hpp"
#include "scan/word_model.hpp"

namespace vak::scan {

namespace {

constexpr unsigned kTasteLane = kLaneOf[kTaste];

MiString out_of_range_message(std::size_t i, std::uint32_t w) {
    char text[64];
    const int length =
        std::snprintf(text, sizeof text, "index %zu: word out of range %" PRIu32, i, w);
    return MiString(text, static_cast<std::size_t>(length));
}

// The walk, a chunk at a time: classify the chunk, then append a chunk made of
// long runs run by run, any other chunk word by word without branching on the
// class. Spans are kept as start offsets while walking (spans tile their array,
// so each length is the distance to the next start).
template <class MessageFor>
class Scanner {
public:
    Scanner(const std::uint32_t* words, std::size_t n, bool record_invalid, MessageFor& message_for,
            ScanRecord& record)
        : words_(words), n_(n), record_invalid_(record_invalid), message_for_(message_for),
          record_(record) {}

    void run() {
        std::uint8_t classes[kChunkSize];
        ChunkSummary summary;
        std::size_t i = 0;
        while (i < n_) {
            const std::size_t m = std::min(kChunkSize, n_ - i);
            make_room(m);
            kernels_.classify_chunk(words_ + i, m, n_ - i, classes, summary);
            std::size_t stop = i + m;
            if (summary.any_taste_start) stop = strip_taste_marks(classes, i, i + m);
            if (stop > i) {
                if (summary.changes * 16 < m) append_runs(classes, summary, i, stop);
                else prev_lane_ = kernels_.append_mixed(words_ + i, classes, stop - i, lanes_, prev_lane_);
                inline_count_ += kernels_.count_class(classes, stop - i, kInline);
                if (summary.any_invalid && record_invalid_) note_invalid(classes, i, stop);
            }
            if (stop < i + m) {
                const std::size_t end = taste_sequence_end(words_, n_, stop);
                append_taste(stop, end);
                i = end;
            } else {
                i += m;
            }
        }
        finish();
    }

private:
    // Clears the taste marks up to the first real taste sequence; returns its start.
    // A cleared mark may join the word's run with its neighbours; the change
    // bitmap keeps the boundary, which only splits a run in two.
    std::size_t strip_taste_marks(std::uint8_t* classes, std::size_t begin, std::size_t end) {
        const std::size_t m = end - begin;
        for (std::size_t k = kernels_.next_taste_mark(classes, 0, m); k < m;
             k = kernels_.next_taste_mark(classes, k + 1, m)) {
            if (taste_sequence_end(words_, n_, begin + k) != begin + k) return begin + k;
            classes[k] &= static_cast<std::uint8_t>(~kMayStartTaste);
        }
        return end;
    }

    // Every lane gets room for m more words, so the kernels write without checks.
    void make_room(std::size_t m) {
        for (unsigned lane = 0; lane < kSegmentLanes; ++lane) {
            prepare(lane, record_.words[lane], m);
            const std::size_t used = lanes_[lane].starts - start_base_[lane];
            grow(starts_[lane], used + m + kAppendSlack);
            start_base_[lane] = starts_[lane].data();
            lanes_[lane].starts = start_base_[lane] + used;
        }
        prepare(kTextLane, record_.text_words, m);
        lanes_[kDropLane].base = lanes_[kDropLane].words = scratch_words_;
        start_base_[kTextLane] = lanes_[kTextLane].starts = scratch_starts_;
        start_base_[kDropLane] = lanes_[kDropLane].starts = scratch_starts_;
    }

    void prepare(unsigned lane, PayloadVec& v, std::size_t m) {
        const std::size_t used = lanes_[lane].words - lanes_[lane].base;
        grow(v, used + m + kAppendSlack);
        lanes_[lane].base = v.data();
        lanes_[lane].words = lanes_[lane].base + used;
    }

    static void grow(PayloadVec& v, std::size_t size) {
        if (v.size() < size) v.resize(std::max(size, std::min(v.capacity(), 2 * size)));
    }

    // The start of the next run after offset k (relative to the chunk), or m.
    static std::size_t next_change(const ChunkSummary& summary, std::size_t k, std::size_t m) {
        if (k + 1 >= m) return m;
        std::size_t word = (k + 1) / 64;
        std::uint64_t bits = summary.change_bits[word] & (~std::uint64_t{0} << ((k + 1) % 64));
        while (bits == 0) {
            if (++word * 64 >= m) return m;
            bits = summary.change_bits[word];
        }
        return std::min(m, word * 64 + static_cast<std::size_t>(__builtin_ctzll(bits)));
    }

    void append_runs(const std::uint8_t* classes, const ChunkSummary& summary, std::size_t begin,
                     std::size_t end) {
        const std::size_t m = end - begin;
        std::size_t i = begin;
        while (i < end) {
            const std::uint8_t cls = classes[i - begin];
            const std::size_t run_end = begin + next_change(summary, i - begin, m);
            const unsigned lane = kLaneOf[cls];
            if (lane == kDropLane) {
                prev_lane_ = lane;
            } else {
                const std::size_t count = run_end - i;
                if (lane != prev_lane_ && lane < kSegmentLanes) {
                    *lanes_[lane].starts++ = static_cast<std::uint32_t>(lanes_[lane].words - lanes_[lane].base);
                }
                std::memcpy(lanes_[lane].words, words_ + i, count * sizeof(std::uint32_t));
                lanes_[lane].words += count;
                prev_lane_ = lane;
            }
            i = run_end;
        }
    }

    void note_invalid(const std::uint8_t* classes, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            if (classes[i - begin] == kInvalidClass) {
                record_.validation_errors.push_back(message_for_(i, words_[i]));
            }
        }
    }

    void append_taste(std::size_t begin, std::size_t end) {
        const std::size_t count = end - begin;
        prepare(kTasteLane, record_.words[kTasteLane], count);
        if (prev_lane_ != kTasteLane) {
            const std::size_t used = lanes_[kTasteLane].starts - start_base_[kTasteLane];
            grow(starts_[kTasteLane], used + 1);
            start_base_[kTasteLane] = starts_[kTasteLane].data();
            lanes_[kTasteLane].starts = start_base_[kTasteLane] + used;
            *lanes_[kTasteLane].starts++ = static_cast<std::uint32_t>(lanes_[kTasteLane].words - lanes_[kTasteLane].base);
        }
        std::memcpy(lanes_[kTasteLane].words, words_ + begin, count * sizeof(std::uint32_t));
        lanes_[kTasteLane].words += count;
        prev_lane_ = kTasteLane;
    }

    std::size_t length(unsigned lane) const { return lanes_[lane].words - lanes_[lane].base; }

    void finish() {
        record_.text_words.resize(length(kTextLane));
        for (unsigned lane = 0; lane < kSegmentLanes; ++lane) {
            const std::size_t words = length(lane);
            record_.words[lane].resize(words);
            const std::uint32_t* starts = start_base_[lane];
            const std::size_t count = lanes_[lane].starts - start_base_[lane];
            PayloadVec& spans = record_.spans[lane];
            spans.resize(2 * count);
            for (std::size_t k = 0; k < count; ++k) {
                const std::size_t next = k + 1 < count ? starts[k + 1] : words;
                spans[2 * k] = starts[k];
                spans[2 * k + 1] = static_cast<std::uint32_t>(next - starts[k]);
            }
            record_.counts[kSegmentModalities[lane]] = words;
        }
        record_.counts[kText] = length(kTextLane) - inline_count_;
        record_.counts[kInline] = inline_count_;
    }

    const std::uint32_t* words_;
    std::size_t n_;
    bool record_invalid_;
    MessageFor& message_for_;
    ScanRecord& record_;

    const ChunkKernels& kernels_ = active_kernels();
    LaneCursor lanes_[kLaneCount];
    std::array<PayloadVec, kSegmentLanes> starts_;
    std::uint32_t* start_base_[kLaneCount] = {};
    std::size_t inline_count_ = 0;
    unsigned prev_lane_ = kDropLane;
    // Each chunk writes at most kChunkSize words and starts into either area
    // (the vector kernels write neither).
    std::uint32_t scratch_words_[kChunkSize];
    std::uint32_t scratch_starts_[kChunkSize];
};

// Starting capacities for n words: most room for image words, then the others
// by how common they are.
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

template <class MessageFor>
ScanRecord scan(const std::uint32_t* words, std::size_t n, bool record_invalid,
                MessageFor message_for) {
    VAK_EXPECT(n <= kMaxStreamLength, "stream length fits the 32-bit span fields");
    ScanRecord record;
    reserve_for(record, n);
    Scanner<MessageFor> scanner(words, n, record_invalid, message_for, record);
    scanner.run();
    return record;
}

}  // namespace

ScanRecord scan_words(const std::uint32_t* words, std::size_t n, bool record_invalid) {
    return scan(words, n, record_invalid, out_of_range_message);
}

ScanRecord scan_entries(const std::uint32_t* words, std::size_t n, bool record_invalid,
                        Vec<MiString>& item_errors) {
    std::size_t next_error = 0;
    return scan(words, n, record_invalid, [&](std::size_t, std::uint32_t) {
        VAK_EXPECT(next_error < item_errors.size(), "every item error has a message");
        return std::move(item_errors[next_error++]);
    });
}

}  // namespace vak::scan
