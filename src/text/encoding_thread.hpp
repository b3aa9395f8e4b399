// Encoding a long text on a thread of its own while the caller uses the words
// already encoded (the module builds the list of them meanwhile).
//
// The thread encodes the text piece by piece into one output, each piece right
// after the one before and cut only where encoding is independent of the cut
// (next_cut), so the output is exactly that of one encode_into of the whole.
// After each piece it publishes how many units are final. It touches nothing but
// the text, the output and this object, takes no memory but the little that
// canonical ordering needs, and stops at its next poll when asked to: the
// destructor asks it and joins it, so the text must outlive this object.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "text/output_units.hpp"

namespace vak::text {

class EncodingThread {
public:
    enum class State : unsigned char {
        kEncoding,
        kDone,         // every unit is final
        kOutOfMemory,  // ended early: memory ran out
        kStopped,      // ended early: asked to stop
    };
    struct Progress {
        std::size_t units;  // final units from the start of the output
        std::size_t bytes;  // the text they encode, from its start
        State state;
    };

    // Pieces take at least `piece_bytes` (>= 1) of the text each and end at the
    // next cut after that.
    EncodingThread(const std::uint8_t* utf8, std::size_t size, std::size_t piece_bytes) noexcept;
    ~EncodingThread();
    EncodingThread(const EncodingThread&) = delete;
    EncodingThread& operator=(const EncodingThread&) = delete;

    // Sizes the output (by max_words). Throws std::bad_alloc.
    void prepare();
    // Starts the thread after prepare(); false when the system gives no thread.
    bool start() noexcept;
    // Instead of start(): encodes the whole text on the calling thread, as one
    // piece. Throws std::bad_alloc and interrupt::Interrupted.
    void encode_here();

    Progress progress();
    // Blocks until more than `units` are final or the thread has ended, polling
    // vak::interrupt meanwhile (which may throw interrupt::Interrupted).
    void wait_beyond(std::size_t units);

    // The units; those below progress().units may be read while the thread runs.
    // Its size is set once the encoding ended.
    std::size_t max_units() const noexcept { return max_units_; }
    const EncodedText& output() const noexcept { return output_; }

private:
    void run() noexcept;
    void encode_pieces();
    void publish(std::size_t units, std::size_t bytes);

    const std::uint8_t* const utf8_;
    const std::size_t size_;
    const std::size_t piece_bytes_;
    std::size_t max_units_ = 0;
    EncodedText output_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
    // Under mutex_ (which also orders the units written before them):
    Progress progress_{0, 0, State::kEncoding};
    bool waiting_ = false;
    std::thread thread_;
};

}  // namespace vak::text
