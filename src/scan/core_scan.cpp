#include "scan/core_scan.hpp"

#include <algorithm>
#include <cstring>

#include "common/interrupt.hpp"
#include "common/invariant.hpp"
#include "scan/chunk_classes.hpp"
#include "scan/word_model.hpp"

namespace vak::scan {

namespace {

constexpr unsigned kTasteLane = kLaneOf[kTaste];

// A chunk whose runs are longer than this on average is appended run by run (a
// fixed-size copy per short run); any other by the kernels' mixed append, whose
// cost per word hardly depends on the runs.
constexpr std::size_t kRunsFrom = 3;

// One array the scan appends to, with the cursor the kernels write through (the
// cursors live side by side, where the kernels find them). A segment lane keeps
// its span starts in the record's spans array itself; finish() spreads them into
// (start, length) pairs in place, since spans tile their array and each length
// is the distance to the next start.
class Lane {
public:
    void attach(PayloadVec& words, PayloadVec* spans, LaneCursor& cursor) {
        words_ = &words;
        spans_ = spans;
        cursor_ = &cursor;
        cursor.base = cursor.words = words.data();
        if (spans != nullptr) cursor.starts = spans->data();
    }

    // Room for `more` words (and span starts) past the cursor, when `seen`
    // entries have been appended and `left` (>= more) remain.
    void reserve(std::size_t more, std::size_t seen, std::size_t left) {
        const std::size_t used = length();
        cursor_->base = grow(*words_, used, more, seen, left, 1);
        cursor_->words = cursor_->base + used;
        if (spans_ != nullptr) {
            const std::size_t starts = start_count();
            cursor_->starts = grow(*spans_, starts, more, seen, left, 2) + starts;
        }
    }

    std::size_t length() const { return static_cast<std::size_t>(cursor_->words - cursor_->base); }

    // Trims the words; turns the span starts into (start, length) pairs.
    void finish() {
        const std::size_t words = length();
        words_->resize(words);
        if (spans_ == nullptr) return;
        const std::size_t count = start_count();
        PayloadVec& spans = *spans_;
        spans.resize(2 * count);
        // Backwards, pair k overwrites slots 2k and 2k + 1, both past start k + 1.
        auto next = static_cast<std::uint32_t>(words);
        for (std::size_t k = count; k-- > 0;) {
            const std::uint32_t start = spans[k];
            spans[2 * k] = start;
            spans[2 * k + 1] = next - start;
            next = start;
        }
    }

private:
    std::size_t start_count() const {
        return static_cast<std::size_t>(cursor_->starts - spans_->data());
    }

    // Makes `v` hold room for `more` values past its first `used` (plus the
    // kernels' slack) and returns its data. The starting reservation is used up
    // first; then a full array grows to what the rate it filled at so far
    // predicts for the rest of the stream (so that it is copied about once), at
    // least doubling, and never past what the entries left can add. `factor` 2
    // leaves span starts room to become pairs.
    static std::uint32_t* grow(PayloadVec& v, std::size_t used, std::size_t more, std::size_t seen,
                               std::size_t left, std::size_t factor) {
        const std::size_t needed = used + more + kAppendSlack;
        if (v.size() >= needed) return v.data();
        std::size_t target = v.capacity();
        if (needed > target) {
            const std::size_t limit = factor * (used + left) + kAppendSlack;
            const double rate = static_cast<double>(used + more) / static_cast<double>(seen + more);
            const double expected =
                static_cast<double>(factor) *
                (static_cast<double>(used) + 1.25 * rate * static_cast<double>(left));
            target = std::max(static_cast<std::size_t>(expected) + kAppendSlack, 2 * target);
            target = std::max(needed, std::min(limit, target));
            v.resize(used);  // only the values written so far move
            v.reserve(target);
        }
        v.resize(target);
        return v.data();
    }

    PayloadVec* words_ = nullptr;
    PayloadVec* spans_ = nullptr;
    LaneCursor* cursor_ = nullptr;
};

// The walk, a chunk at a time: classify the chunk, then append a chunk made of
// long runs run by run, any other chunk with the kernels' mixed append.
class Scanner {
public:
    Scanner(const std::uint32_t* words, std::size_t n, bool record_invalid, ScanRecord& record)
        : words_(words), n_(n), record_invalid_(record_invalid), record_(record) {
        for (unsigned lane = 0; lane < kSegmentLanes; ++lane) {
            lanes_[lane].attach(record.words[lane], &record.spans[lane], cursors_[lane]);
        }
        lanes_[kTextLane].attach(record.text_words, nullptr, cursors_[kTextLane]);
    }

    void run() {
        std::uint8_t classes[kChunkSize];
        ChunkSummary summary;
        std::size_t i = 0;
        for (unsigned chunk = 1; i < n_; ++chunk) {
            // A chunk takes a few microseconds: a stop request is seen every 16.
            if (chunk % 16 == 0) interrupt::poll();
            const std::size_t m = std::min(kChunkSize, n_ - i);
            make_room(i, m);
            kernels_.classify_chunk(words_ + i, m, n_ - i, classes, summary);
            std::size_t stop = i + m;
            if (summary.any_taste_start) stop = strip_taste_marks(classes, i, i + m);
            if (stop > i) {
                if (summary.changes * kRunsFrom < m) {
                    append_runs(classes, summary, i, stop);
                } else {
                    prev_lane_ = kernels_.append_mixed(words_ + i, classes, stop - i,
                                                       cursors_.data(), prev_lane_);
                }
                inline_count_ += kernels_.count_class(classes, stop - i, kInline);
                if (summary.any_invalid && record_invalid_) note_invalid(classes, i, stop);
            }
            if (stop < i + m) {
                const std::size_t end = taste_sequence_end_polled(stop);
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
            if (taste_sequence_starts(words_, n_, begin + k)) return begin + k;
            classes[k] &= static_cast<std::uint8_t>(~kMayStartTaste);
        }
        return end;
    }

    // The end of the taste sequence that starts at `start`, looking for a stop
    // request as often as the chunk loop does (a sequence may be the whole stream).
    std::size_t taste_sequence_end_polled(std::size_t start) const {
        std::size_t end = start + 3;
        while (end < n_) {
            const std::size_t window = std::min(n_, end + 16 * kChunkSize);
            while (end < window && is_taste_continuation(words_[end])) ++end;
            if (end < window) break;
            interrupt::poll();
        }
        return end;
    }

    // Every lane gets room for the m entries from position i, so the kernels
    // write without checks; the text lane's span starts and the drop lane go to
    // scratch areas.
    void make_room(std::size_t i, std::size_t m) {
        for (Lane& lane : lanes_) lane.reserve(m, i, n_ - i);
        cursors_[kDropLane] = {scratch_words_, scratch_words_, scratch_starts_};
        cursors_[kTextLane].starts = scratch_starts_;
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

    // Copies `count` words from position i into a lane, opening a segment there
    // unless the lane's run goes on.
    void append_run(unsigned lane, std::size_t i, std::size_t count) {
        LaneCursor& cursor = cursors_[lane];
        if (lane != prev_lane_ && lane < kSegmentLanes) {
            *cursor.starts++ = static_cast<std::uint32_t>(cursor.words - cursor.base);
        }
        const std::uint32_t* in = words_ + i;
        if (count <= 16 && i + 16 <= n_) {
            // A short run is copied as sixteen words, into the lane's slack past
            // its end: fixed-size copies, no call per run.
            std::memcpy(cursor.words, in, 8 * sizeof(std::uint32_t));
            std::memcpy(cursor.words + 8, in + 8, 8 * sizeof(std::uint32_t));
        } else {
            std::memcpy(cursor.words, in, count * sizeof(std::uint32_t));
        }
        cursor.words += count;
        prev_lane_ = lane;
    }

    void append_runs(const std::uint8_t* classes, const ChunkSummary& summary, std::size_t begin,
                     std::size_t end) {
        const std::size_t m = end - begin;
        std::size_t i = begin;
        while (i < end) {
            const std::size_t run_end = begin + next_change(summary, i - begin, m);
            const unsigned lane = kLaneOf[classes[i - begin]];
            if (lane == kDropLane)
                prev_lane_ = lane;
            else
                append_run(lane, i, run_end - i);
            i = run_end;
        }
    }

    void note_invalid(const std::uint8_t* classes, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            if (classes[i - begin] == kInvalidClass) {
                record_.invalid_entries.push_back(InvalidEntry{i, words_[i]});
            }
        }
    }

    void append_taste(std::size_t begin, std::size_t end) {
        lanes_[kTasteLane].reserve(end - begin, begin, n_ - begin);
        append_run(kTasteLane, begin, end - begin);
    }

    void finish() {
        for (Lane& lane : lanes_) lane.finish();
        for (unsigned lane = 0; lane < kSegmentLanes; ++lane) {
            record_.counts[kSegmentModalities[lane]] = lanes_[lane].length();
        }
        record_.counts[kText] = lanes_[kTextLane].length() - inline_count_;
        record_.counts[kInline] = inline_count_;
    }

    const std::uint32_t* words_;
    std::size_t n_;
    bool record_invalid_;
    ScanRecord& record_;

    const ChunkKernels& kernels_ = active_kernels();
    std::array<LaneCursor, kLaneCount> cursors_{};
    std::array<Lane, kTextLane + 1> lanes_;  // the segment lanes, then the text lane
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

}  // namespace

ScanRecord scan_words(const std::uint32_t* words, std::size_t n, bool record_invalid) {
    VAK_EXPECT(n <= kMaxStreamLength, "stream length fits the 32-bit span fields");
    ScanRecord record;
    reserve_for(record, n);
    Scanner scanner(words, n, record_invalid, record);
    scanner.run();
    return record;
}

}  // namespace vak::scan
