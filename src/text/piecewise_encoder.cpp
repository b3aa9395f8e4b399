#include "text/piecewise_encoder.hpp"

#include <chrono>
#include <new>
#include <stdexcept>
#include <system_error>

#if defined(__linux__)
#include <pthread.h>
#endif

#include "common/interrupt.hpp"
#include "common/invariant.hpp"
#include "text/encoder.hpp"

namespace vak::text {

namespace {

// How long a waiting caller sleeps between two polls of its own checker (which
// decides for itself whether it is time to look at signals).
constexpr auto kWaitPoll = std::chrono::milliseconds(5);

// The most pieces a text is cut into: each has a record and a little slack in
// the output.
constexpr std::size_t kMostPieces = std::size_t{1} << 16;

// Units between two pieces' regions, for the bytes a piece's stores may write
// past its last unit.
constexpr std::size_t kPadUnits = kUnitSlack / 2;

// Installed on the own thread: the work stops at its next poll once the owner
// asked it to.
class StopCheck final : public interrupt::Checker {
public:
    explicit StopCheck(const std::atomic<bool>& stop) noexcept : stop_(stop) {}
    void poll() override {
        if (stop_.load(std::memory_order_relaxed)) throw interrupt::Interrupted{};
    }

private:
    const std::atomic<bool>& stop_;
};

}  // namespace

PiecewiseEncoder::PiecewiseEncoder(const std::uint8_t* utf8, std::size_t size,
                                   std::size_t piece_bytes) noexcept
    : utf8_(utf8), size_(size), piece_bytes_(piece_bytes < 1 ? 1 : piece_bytes) {
    const std::size_t least = size / kMostPieces + 1;
    if (piece_bytes_ < least) piece_bytes_ = least;
}

PiecewiseEncoder::~PiecewiseEncoder() {
    if (!thread_.joinable()) return;
    stop_.store(true, std::memory_order_relaxed);
    thread_.join();
}

void PiecewiseEncoder::prepare() {
    const std::size_t pieces = size_ / piece_bytes_ + 1;
    max_units_ = max_words(utf8_, size_);
    output_ = EncodedText(max_units_ + pieces * kPadUnits);
    records_ = Vec<Record>(pieces);
}

bool PiecewiseEncoder::start_thread() noexcept {
    try {
        thread_ = std::thread(&PiecewiseEncoder::run, this);
    } catch (const std::system_error&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

// Sequentially consistent, as wait_for_next needs it (and it costs nothing more
// on x86 than acquiring).
bool PiecewiseEncoder::next_ready() const noexcept {
    return taken_ < claimed_.load() && records_[taken_].finished.load();
}

bool PiecewiseEncoder::take_next(Piece& piece) noexcept {
    if (!next_ready()) return false;
    const Record& record = records_[taken_++];
    piece = {output_.bytes() + 2 * record.offset, record.count, record.text_end};
    return true;
}

bool PiecewiseEncoder::all_taken() const noexcept {
    return all_claimed_.load(std::memory_order_acquire) &&
           taken_ == claimed_.load(std::memory_order_acquire);
}

void PiecewiseEncoder::wait_for_next() {
    std::unique_lock<std::mutex> lock(wait_mutex_);
    for (;;) {
        // Announced before looking: a finisher that does not see it has finished
        // before the look (both sequentially consistent), so nothing is missed.
        waiting_.store(true);
        if (next_ready() || all_taken() || out_of_memory_.load()) break;
        finished_one_.wait_for(lock, kWaitPoll);
        waiting_.store(false);
        lock.unlock();
        interrupt::poll();  // never with the lock held: it may throw, or take a while
        lock.lock();
    }
    waiting_.store(false);
}

PiecewiseEncoder::State PiecewiseEncoder::state() const noexcept {
    if (out_of_memory_.load(std::memory_order_acquire)) return State::kOutOfMemory;
    if (!all_claimed_.load(std::memory_order_acquire)) return State::kEncoding;
    return finished_count_.load(std::memory_order_acquire) ==
                   claimed_.load(std::memory_order_relaxed)
               ? State::kDone
               : State::kEncoding;
}

bool PiecewiseEncoder::encode_one() {
    Claim piece{};
    if (!claim(piece)) return false;
    // Should this throw, the piece stays unfinished: the caller is on its way out.
    const std::size_t count =
        encode_into(piece.begin, static_cast<std::size_t>(piece.end - piece.begin),
                    output_.data() + 2 * piece.offset);
    finish(piece, count);
    return true;
}

bool PiecewiseEncoder::claim(Claim& piece) {
    std::lock_guard<std::mutex> turn(claim_mutex_);
    if (cursor_ == size_ || stop_.load(std::memory_order_relaxed)) return false;
    const std::uint8_t* begin = utf8_ + cursor_;
    const std::uint8_t* end = utf8_ + size_;
    const std::uint8_t* least =
        end - begin > static_cast<std::ptrdiff_t>(piece_bytes_) ? begin + piece_bytes_ : end;
    const std::uint8_t* cut = next_cut(least, end);
    const std::size_t index = claimed_.load(std::memory_order_relaxed);
    VAK_EXPECT(index < records_.size(), "every piece has a record");
    Record& record = records_[index];
    record.offset = next_offset_;
    record.text_end = static_cast<std::size_t>(cut - utf8_);
    piece = {index, begin, cut, next_offset_};
    next_offset_ += max_words(begin, static_cast<std::size_t>(cut - begin)) + kPadUnits;
    cursor_ = record.text_end;
    claimed_.store(index + 1, std::memory_order_release);
    if (cursor_ == size_) all_claimed_.store(true, std::memory_order_release);
    return true;
}

void PiecewiseEncoder::finish(const Claim& piece, std::size_t count) noexcept {
    records_[piece.index].count = count;
    records_[piece.index].finished.store(true);  // publishes the units and the count
    finished_count_.fetch_add(1);
    wake_taker();
}

void PiecewiseEncoder::wake_taker() noexcept {
    if (!waiting_.load()) return;
    // The taker holds the mutex from its look until it waits: once it is ours,
    // the taker is waiting (or has seen the news and left).
    std::lock_guard<std::mutex> lock(wait_mutex_);
    finished_one_.notify_one();
}

void PiecewiseEncoder::run() noexcept {
#if defined(__linux__)
    ::pthread_setname_np(::pthread_self(), "vak-encode-text");
#endif
    bool out_of_memory = false;
    {
        StopCheck check(stop_);
        interrupt::Scope scope(&check);
        try {
            while (encode_one()) {
            }
        } catch (const std::bad_alloc&) {
            out_of_memory = true;
        } catch (const std::length_error&) {
            out_of_memory = true;
        } catch (const interrupt::Interrupted&) {
            return;  // asked to stop: the owner no longer wants the output
        }
    }
    if (!out_of_memory) return;
    out_of_memory_.store(true);
    wake_taker();
}

}  // namespace vak::text
