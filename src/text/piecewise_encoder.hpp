// Encoding a long text piece by piece on two threads, one of its own and the
// caller's, while the caller also takes the finished pieces in text order (the
// module builds the list of their words meanwhile).
//
// Pieces are cut only where encoding does not depend on the cut (next_cut), so
// the units of the pieces, in order, are exactly those of the whole text. Each
// piece is claimed by one thread and encoded into a region of the output of its
// own (as long as its bound, plus the slack its stores may overrun), so the two
// never write the same bytes. The own thread claims pieces until none is left;
// the caller claims one whenever the next piece in order is not finished yet, so
// a thread that gets no processor delays nothing. The own thread touches nothing
// but the text, the output and this object and takes no memory but the little
// that canonical ordering needs; it stops at its next poll when asked to: the
// destructor asks it and joins it, so the text must outlive this object.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "common/heap_allocator.hpp"
#include "text/output_units.hpp"

namespace vak::text {

class PiecewiseEncoder {
public:
    enum class State : unsigned char {
        kEncoding,
        kDone,         // every piece is finished
        kOutOfMemory,  // the own thread ran out of memory
    };
    // A finished piece.
    struct Piece {
        const std::uint8_t* units;  // its units, two bytes each
        std::size_t count;
        std::size_t text_end;  // where in the text it ends (it starts where the last ended)
    };

    // Pieces take at least `piece_bytes` (>= 1) of the text each (more where the
    // text would make too many) and end at the next cut after that.
    PiecewiseEncoder(const std::uint8_t* utf8, std::size_t size, std::size_t piece_bytes) noexcept;
    ~PiecewiseEncoder();
    PiecewiseEncoder(const PiecewiseEncoder&) = delete;
    PiecewiseEncoder& operator=(const PiecewiseEncoder&) = delete;

    // Sizes the output and the pieces' records. Throws std::bad_alloc.
    void prepare();
    // Starts the own thread after prepare(); false when the system gives none.
    bool start_thread() noexcept;

    // For one thread only, the taker. The next finished piece in text order,
    // each once; false when it is not finished (or there is none).
    bool take_next(Piece& piece) noexcept;
    // Every piece has been taken.
    bool all_taken() const noexcept;
    // Blocks until the next piece in order is finished, every piece is taken or
    // the own thread ran out of memory, polling vak::interrupt meanwhile (which
    // may throw interrupt::Interrupted).
    void wait_for_next();

    // Claims a piece nobody has claimed and encodes it here; false when none is
    // left. Throws std::bad_alloc and interrupt::Interrupted.
    bool encode_one();
    State state() const noexcept;

    // At least as many units as the whole text encodes to.
    std::size_t max_units() const noexcept { return max_units_; }

private:
    struct Record {
        std::size_t offset = 0;    // of its region in the output, in units
        std::size_t count = 0;     // units written, once finished
        std::size_t text_end = 0;  // where it ends in the text
        std::atomic<bool> finished{false};
    };
    struct Claim {
        std::size_t index;
        const std::uint8_t* begin;
        const std::uint8_t* end;
        std::size_t offset;
    };

    void run() noexcept;
    bool claim(Claim& piece);
    void finish(const Claim& piece, std::size_t count) noexcept;
    bool next_ready() const noexcept;
    void wake_taker() noexcept;

    const std::uint8_t* const utf8_;
    const std::size_t size_;
    std::size_t piece_bytes_;
    std::size_t max_units_ = 0;
    EncodedText output_;
    // A record for every piece the text can have, made once: claimers fill one
    // in, then publish it by `claimed_`; its finisher publishes it by `finished`.
    Vec<Record> records_;
    std::atomic<std::size_t> claimed_{0};
    std::atomic<std::size_t> finished_count_{0};
    std::atomic<bool> all_claimed_{false};
    std::atomic<bool> out_of_memory_{false};
    std::atomic<bool> stop_{false};
    std::mutex claim_mutex_;       // claimers take turns
    std::size_t cursor_ = 0;       // under claim_mutex_: where the next piece starts
    std::size_t next_offset_ = 0;  // under claim_mutex_: its region in the output
    std::size_t taken_ = 0;        // the taker's own
    // Only for a taker that waits: the own thread takes the mutex only to wake it.
    std::mutex wait_mutex_;
    std::condition_variable finished_one_;
    std::atomic<bool> waiting_{false};
    std::thread thread_;
};

}  // namespace vak::text
