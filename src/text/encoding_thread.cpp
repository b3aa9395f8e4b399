#include "text/encoding_thread.hpp"

#include <chrono>
#include <new>
#include <stdexcept>
#include <system_error>

#if defined(__linux__)
#include <pthread.h>
#endif

#include "common/interrupt.hpp"
#include "text/encoder.hpp"

namespace vak::text {

namespace {

// How long a waiting caller sleeps between two polls of its own checker (which
// decides for itself whether it is time to look at signals).
constexpr auto kWaitPoll = std::chrono::milliseconds(5);

// Installed on the encoding thread: the work stops at its next poll once the
// owner asked it to.
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

EncodingThread::EncodingThread(const std::uint8_t* utf8, std::size_t size,
                               std::size_t piece_bytes) noexcept
    : utf8_(utf8), size_(size), piece_bytes_(piece_bytes < 1 ? 1 : piece_bytes) {}

EncodingThread::~EncodingThread() {
    if (!thread_.joinable()) return;
    stop_.store(true, std::memory_order_relaxed);
    thread_.join();
}

void EncodingThread::prepare() {
    max_units_ = max_words(utf8_, size_);
    output_ = EncodedText(max_units_);
}

bool EncodingThread::start() noexcept {
    try {
        thread_ = std::thread(&EncodingThread::run, this);
    } catch (const std::system_error&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

void EncodingThread::encode_here() {
    const std::size_t units = encode_into(utf8_, size_, output_.data());
    output_.set_size(units);
    std::lock_guard<std::mutex> lock(mutex_);
    progress_ = {units, size_, State::kDone};
}

EncodingThread::Progress EncodingThread::progress() {
    std::lock_guard<std::mutex> lock(mutex_);
    return progress_;
}

void EncodingThread::wait_beyond(std::size_t units) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (progress_.units <= units && progress_.state == State::kEncoding) {
        waiting_ = true;
        changed_.wait_for(lock, kWaitPoll);
        waiting_ = false;
        lock.unlock();
        interrupt::poll();  // never with the lock held: it may throw, or take a while
        lock.lock();
    }
}

void EncodingThread::run() noexcept {
#if defined(__linux__)
    ::pthread_setname_np(::pthread_self(), "vak-encode-text");
#endif
    State ending = State::kDone;
    {
        StopCheck check(stop_);
        interrupt::Scope scope(&check);
        try {
            encode_pieces();
        } catch (const std::bad_alloc&) {
            ending = State::kOutOfMemory;
        } catch (const std::length_error&) {
            ending = State::kOutOfMemory;
        } catch (const interrupt::Interrupted&) {
            ending = State::kStopped;
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    progress_.state = ending;
    changed_.notify_one();
}

void EncodingThread::encode_pieces() {
    const std::uint8_t* p = utf8_;
    const std::uint8_t* const end = utf8_ + size_;
    std::size_t units = 0;
    while (p < end) {
        const std::uint8_t* least =
            end - p > static_cast<std::ptrdiff_t>(piece_bytes_) ? p + piece_bytes_ : end;
        const std::uint8_t* cut = next_cut(least, end);
        units += encode_into(p, static_cast<std::size_t>(cut - p), output_.data() + 2 * units);
        p = cut;
        publish(units, static_cast<std::size_t>(p - utf8_));
    }
    output_.set_size(units);
}

void EncodingThread::publish(std::size_t units, std::size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    progress_.units = units;
    progress_.bytes = bytes;
    if (waiting_) changed_.notify_one();
}

}  // namespace vak::text
