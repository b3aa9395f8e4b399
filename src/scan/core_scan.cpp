#include "scan/core_scan.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "common/heap.hpp"
#include "common/interrupt.hpp"
#include "common/invariant.hpp"
#include "scan/chunk_classes.hpp"
#include "scan/word_model.hpp"

namespace vak::scan {

namespace {

constexpr unsigned kTasteLane = kLaneOf[kTaste];

// A piece of a chunk whose runs are longer than this on average is appended run
// by run (a fixed-size copy per short run); any other by the kernels' mixed
// append, whose cost per word hardly depends on the runs.
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
            // The rate the lane filled at over the entries seen: a chunk's room is
            // only a bound (every entry in this lane), and counting it as filled
            // made every lane that outgrew its start reserve the whole stream.
            const double rate =
                seen > 0 ? static_cast<double>(used) / static_cast<double>(seen) : 0.0;
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

// The chunk in hand: its summary and classes, and the area the kernels'
// write-only output goes to (the text lane's span starts, the drop lane's words
// and starts: nothing reads them, so they share it; each pointer moves at most
// once per entry of a chunk, and a kernel writes at most two values past it).
// One block from the module heap per scan, sized for the stream's longest chunk:
// a scan may run on a thread with a small stack.
class ChunkScratch {
public:
    explicit ChunkScratch(std::size_t n) {
        const std::size_t chunk = std::min(n, kChunkSize);
        void* memory = heap::allocate(sizeof(Block) + 4 * (chunk + kAppendSlack) + chunk);
        if (memory == nullptr) throw std::bad_alloc();
        block_.reset(new (memory) Block);
        discard_ = reinterpret_cast<std::uint32_t*>(block_.get() + 1);
        classes_ = reinterpret_cast<std::uint8_t*>(discard_ + chunk + kAppendSlack);
    }

    ChunkSummary& summary() { return block_->summary; }
    std::uint8_t* classes() { return classes_; }
    std::uint32_t* discard() { return discard_; }

private:
    struct Block {
        ChunkSummary summary;
    };
    struct Release {
        void operator()(Block* block) const noexcept { heap::release(block); }
    };

    std::unique_ptr<Block, Release> block_;
    std::uint32_t* discard_ = nullptr;
    std::uint8_t* classes_ = nullptr;
};

// The walk, one pass: each chunk is classified once, then appended piece by
// piece between the taste runs in it; a piece made of long runs goes run by run,
// any other by the kernels' mixed append. A taste run, with the sequences that
// follow it directly, is appended whole; when it ends inside the chunk the walk
// goes on there with the classes already made.
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
        if (n_ == 0) {
            finish();
            return;
        }
        ChunkScratch scratch(n_);
        scratch_ = &scratch;
        std::size_t i = 0;
        while (i < n_) {
            poll_at(i);
            chunk_begin_ = i;
            chunk_end_ = i + std::min(kChunkSize, n_ - i);
            make_room();
            kernels_.classify_chunk(words_ + i, chunk_end_ - i, n_ - i, scratch.classes(),
                                    scratch.summary());
            i = scan_chunk();
        }
        finish();
    }

private:
    // A chunk takes a few microseconds: a stop request is looked for about every
    // 16 chunks' worth of entries, in every loop that walks them.
    static constexpr std::size_t kPollInterval = 16 * kChunkSize;

    // Pieces between taste runs shorter than the vector kernels' step go run by
    // run whatever their runs are like: the kernels would take them word by word,
    // after a call or two of their own.
    static constexpr std::size_t kShortPiece = 32;

    void poll_at(std::size_t position) {
        if (position < next_poll_) return;
        interrupt::poll();
        next_poll_ = position + kPollInterval;
    }

    // Appends the classified chunk; returns where the next one starts (past the
    // chunk when a taste run goes on beyond it).
    std::size_t scan_chunk() {
        const bool any_taste_start = scratch_->summary().any_taste_start;
        std::size_t at = chunk_begin_;
        for (;;) {
            const std::size_t stop = any_taste_start ? strip_taste_marks(at) : chunk_end_;
            append_piece(at, stop);
            if (stop == chunk_end_) return chunk_end_;
            at = taste_run_end(stop);
            append_taste(stop, at);
            if (at >= chunk_end_) return at;
        }
    }

    // Clears the taste marks from `from` up to the first real taste sequence;
    // returns its start (the chunk's end when there is none). A cleared mark may
    // join the word's run with its neighbours; the change bitmap keeps the
    // boundary, which only splits a run in two.
    std::size_t strip_taste_marks(std::size_t from) {
        std::uint8_t* classes = scratch_->classes();
        const std::size_t m = chunk_end_ - chunk_begin_;
        for (std::size_t k = kernels_.next_taste_mark(classes, from - chunk_begin_, m); k < m;
             k = kernels_.next_taste_mark(classes, k + 1, m)) {
            if (taste_sequence_starts(words_, n_, chunk_begin_ + k)) return chunk_begin_ + k;
            classes[k] &= static_cast<std::uint8_t>(~kMayStartTaste);
        }
        return chunk_end_;
    }

    // The end of the taste run that starts at `start`: its sequence and every
    // sequence that starts right where the previous one ended (they extend the
    // same run). A run may be the whole stream, so it looks for stop requests too.
    std::size_t taste_run_end(std::size_t start) {
        std::size_t end = start + 3;
        for (;;) {
            const std::size_t limit = std::min(n_, next_poll_);
            while (end < limit && is_taste_continuation(words_[end])) ++end;
            if (end >= next_poll_) {
                poll_at(end);
                continue;
            }
            if (!taste_sequence_starts(words_, n_, end)) return end;
            end += 3;
        }
    }

    // Every lane gets room for the chunk's entries, so the kernels write without
    // checks; the text lane's span starts and the drop lane go to the discard area.
    void make_room() {
        const std::size_t m = chunk_end_ - chunk_begin_;
        for (Lane& lane : lanes_) lane.reserve(m, chunk_begin_, n_ - chunk_begin_);
        std::uint32_t* discard = scratch_->discard();
        cursors_[kDropLane] = {discard, discard, discard};
        cursors_[kTextLane].starts = discard;
    }

    // Appends the chunk's entries from `from` to `to` (no taste marks left there).
    void append_piece(std::size_t from, std::size_t to) {
        if (from == to) return;
        const ChunkSummary& summary = scratch_->summary();
        const bool whole_chunk = from == chunk_begin_ && to == chunk_end_;
        if (!whole_chunk && to - from < kShortPiece) {
            append_runs<true>(from, to);
            return;
        }
        const std::uint8_t* classes = scratch_->classes() + (from - chunk_begin_);
        const std::size_t changes = whole_chunk ? summary.changes : runs_in(from, to);
        if (changes * kRunsFrom < to - from) {
            append_runs<false>(from, to);
        } else {
            prev_lane_ = kernels_.append_mixed(words_ + from, classes, to - from, cursors_.data(),
                                               prev_lane_);
        }
        inline_count_ += kernels_.count_class(classes, to - from, kInline);
        if (summary.any_invalid && record_invalid_) note_invalid(classes, from, to);
    }

    // How many runs the entries from `from` to `to` make (the first one not
    // counted), by the chunk's change bitmap.
    std::size_t runs_in(std::size_t from, std::size_t to) const {
        const ChunkSummary& summary = scratch_->summary();
        std::size_t count = 0;
        for (std::size_t k = from - chunk_begin_ + 1; k < to - chunk_begin_;) {
            const std::size_t width = std::min<std::size_t>(64 - k % 64, to - chunk_begin_ - k);
            std::uint64_t bits = summary.change_bits[k / 64] >> (k % 64);
            if (width < 64) bits &= (std::uint64_t{1} << width) - 1;
            count += static_cast<std::size_t>(__builtin_popcountll(bits));
            k += width;
        }
        return count;
    }

    // The start of the next run after chunk offset k, or m.
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

    // Run by run. With `kCount` the runs' classes also count the inline words and
    // find the invalid ones (cheaper than the kernels' passes over a few runs).
    template <bool kCount>
    void append_runs(std::size_t from, std::size_t to) {
        // In locals: as far as the compiler knows, the copies may write anywhere.
        const std::size_t begin = chunk_begin_;
        const ChunkSummary& summary = scratch_->summary();
        const std::uint8_t* classes = scratch_->classes();
        const std::size_t m = to - begin;
        for (std::size_t k = from - begin; k < m;) {
            const std::size_t next = next_change(summary, k, m);
            const std::uint8_t cls = classes[k];
            const unsigned lane = kLaneOf[cls];
            if (lane == kDropLane) {
                prev_lane_ = lane;
                if (kCount && record_invalid_) note_invalid_run(begin + k, begin + next);
            } else {
                if (kCount && cls == kInline) inline_count_ += next - k;
                append_run(lane, begin + k, next - k);
            }
            k = next;
        }
    }

    void note_invalid(const std::uint8_t* classes, std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) {
            if (classes[i - from] == kInvalidClass) {
                record_.invalid_entries.push_back(InvalidEntry{i, words_[i]});
            }
        }
    }

    void note_invalid_run(std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) {
            record_.invalid_entries.push_back(InvalidEntry{i, words_[i]});
        }
    }

    // A taste run that ends inside the chunk fits the room the chunk made.
    void append_taste(std::size_t begin, std::size_t end) {
        if (end > chunk_end_) lanes_[kTasteLane].reserve(end - begin, begin, n_ - begin);
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
    std::size_t next_poll_ = kPollInterval;
    std::size_t chunk_begin_ = 0;
    std::size_t chunk_end_ = 0;
    ChunkScratch* scratch_ = nullptr;  // while run() runs
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
