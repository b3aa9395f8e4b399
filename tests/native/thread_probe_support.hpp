// What the thread probes share: failing loudly (the probes also run in forked
// children and under ThreadSanitizer, so a failure is an exit code, never a
// hang), starting threads at the same moment, and the streams they scan.
#pragma once

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <latch>
#include <thread>
#include <vector>

#include "common/heap_allocator.hpp"
#include "scan/core_scan.hpp"
#include "scan/scan_record.hpp"

namespace probe {

[[noreturn]] inline void fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::fflush(stderr);
    std::_Exit(1);  // also from worker threads and forked children, skipping destructors
}

#define PROBE_CHECK(cond)                                      \
    do {                                                       \
        if (!(cond)) ::probe::fail(#cond, __FILE__, __LINE__); \
    } while (0)

// A probe that stops making progress is killed by SIGALRM instead of hanging.
inline void limit_run_time(unsigned seconds) {
    ::alarm(seconds);
}

// ThreadSanitizer stops looking at a child forked from a process with several
// threads, and may die when that child starts threads (it still counts the
// parent's threads as running there). Under it, forked children do only work
// that starts no thread; the plain build checks what they do in full.
#if defined(__SANITIZE_THREAD__)
inline constexpr bool kForkedChildrenStartThreads = false;
#else
inline constexpr bool kForkedChildrenStartThreads = true;
#endif

using Clock = std::chrono::steady_clock;

inline void sleep_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Polls `done` every millisecond for up to `limit_ms`; whether it became true.
template <class Done>
bool wait_until(Done&& done, int limit_ms) {
    const auto give_up = Clock::now() + std::chrono::milliseconds(limit_ms);
    while (!done()) {
        if (Clock::now() >= give_up) return false;
        sleep_ms(1);
    }
    return true;
}

// ThreadSanitizer's runtime (the one g++ 12 brings) does not hold its own
// heap's locks across fork(): a child forked while another thread is inside
// malloc may wait for that thread's lock for ever (seen: a child stuck on its
// first allocation, in the runtime's size-class allocator). Under it, the
// probe's allocating threads stop at this gate between two pieces of work while
// it forks, so the child's allocations are safe; in the plain build the gate
// never closes and children are forked in the middle of the work.
#if defined(__SANITIZE_THREAD__)
inline constexpr bool kForkWaitsForAllocatingThreads = true;
#else
inline constexpr bool kForkWaitsForAllocatingThreads = false;
#endif

class ForkGate {
public:
    // `threads`: how many threads call pass() until the last fork is made.
    explicit ForkGate(unsigned threads) noexcept : threads_(threads) {}
    ForkGate(const ForkGate&) = delete;
    ForkGate& operator=(const ForkGate&) = delete;

    // Between two pieces of a thread's work: waits while a fork is being made.
    void pass() noexcept {
        if (!closed_.load(std::memory_order_acquire)) return;
        waiting_.fetch_add(1, std::memory_order_acq_rel);
        while (closed_.load(std::memory_order_acquire)) std::this_thread::yield();
        waiting_.fetch_sub(1, std::memory_order_acq_rel);
    }

    // fork(), with every thread of the gate waiting in pass() where that is needed.
    pid_t fork() {
        if (kForkWaitsForAllocatingThreads) {
            closed_.store(true, std::memory_order_release);
            if (!wait_until([&] { return waiting_.load(std::memory_order_acquire) == threads_; },
                            30000)) {
                fail("the working threads reached the fork gate", __FILE__, __LINE__);
            }
        }
        const pid_t pid = ::fork();
        closed_.store(false, std::memory_order_release);
        return pid;
    }

private:
    const unsigned threads_;
    std::atomic<bool> closed_{false};
    std::atomic<unsigned> waiting_{0};
};

// Runs body(t) on `count` new threads released together, and joins them.
inline void run_together(unsigned count, const std::function<void(unsigned)>& body) {
    std::latch start(count);
    std::vector<std::thread> threads;
    threads.reserve(count);
    for (unsigned t = 0; t < count; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            body(t);
        });
    }
    for (auto& thread : threads) thread.join();
}

// A small deterministic generator (each thread keeps its own).
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
    std::uint32_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return static_cast<std::uint32_t>(state_ >> 16);
    }
    std::uint32_t below(std::uint32_t bound) { return next() % bound; }

private:
    std::uint64_t state_;
};

// A stream of every kind of entry: text, segment words of several modalities,
// taste sequences and values beyond the word range.
inline vak::WordVec mixed_stream(Random& random, std::size_t length) {
    static constexpr std::uint32_t kWords[] = {0x00041, 0x80400, 0x90400, 0xA0400, 0xB0400,
                                               0x88000, 0x84000, 0x82000, 0x81000, 0x100000};
    vak::WordVec words(length);
    for (auto& word : words) {
        word = random.below(4) == 0 ? random.below(0x110000)
                                    : kWords[random.below(sizeof kWords / sizeof kWords[0])];
    }
    return words;
}

inline bool same_record(const vak::scan::ScanRecord& a, const vak::scan::ScanRecord& b) {
    if (a.counts != b.counts || a.text_words != b.text_words || a.words != b.words ||
        a.spans != b.spans || a.invalid_entries.size() != b.invalid_entries.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.invalid_entries.size(); ++i) {
        if (a.invalid_entries[i].index != b.invalid_entries[i].index ||
            a.invalid_entries[i].word != b.invalid_entries[i].word) {
            return false;
        }
    }
    return true;
}

// Streams of the given lengths with what scanning each alone gives.
struct Batch {
    vak::Vec<vak::WordVec> streams;
    std::vector<vak::scan::ScanRecord> expected;
};

inline Batch make_batch(Random& random, const std::vector<std::size_t>& lengths,
                        bool record_invalid) {
    Batch batch;
    for (const std::size_t length : lengths) {
        batch.streams.push_back(mixed_stream(random, length));
        const vak::WordVec& stream = batch.streams.back();
        batch.expected.push_back(
            vak::scan::scan_words(stream.data(), stream.size(), record_invalid));
    }
    return batch;
}

}  // namespace probe
