#include "common/heap_purger.hpp"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "common/heap.hpp"

namespace vak::heap {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kQuietPeriod = std::chrono::milliseconds(300);

// Never destroyed: at exit the purger thread may still sleep on the condition
// variable, and destroying one that a thread waits on blocks until the wait ends.
struct PurgerState {
    std::mutex mutex;
    std::condition_variable wake;
    Clock::time_point due{};
    pid_t purger_process = 0;  // the process whose purger thread runs; 0 when none
};

alignas(PurgerState) unsigned char g_state_storage[sizeof(PurgerState)];

PurgerState& state() noexcept {
    return *std::launder(reinterpret_cast<PurgerState*>(g_state_storage));
}

std::atomic<unsigned> g_generation{0};
// Bytes freed in blocks too small to ask for a purge each, since the last request.
std::atomic<std::size_t> g_freed_small{0};

void purger_loop() {
    // The allocator collects through the calling thread's heap: give this thread one.
    release(allocate(1));
    PurgerState& s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    for (;;) {
        // Every new large release moves the deadline: purge only once it is quiet.
        while (Clock::now() < s.due) s.wake.wait_until(lock, s.due);
        lock.unlock();
        purge_now();
        g_generation.fetch_add(1, std::memory_order_release);
        lock.lock();
        if (Clock::now() >= s.due) {
            s.purger_process = 0;
            return;
        }
    }
}

// fork() copies only the calling thread: a mutex that another thread held at
// that moment would stay locked in the child, whose next large free would wait
// for it forever. The mutex is therefore taken around fork().
void lock_before_fork() noexcept {
    state().mutex.lock();
}

void unlock_in_parent() noexcept {
    state().mutex.unlock();
}

void unlock_in_child() noexcept {
    // The parent's purger may have been waiting on it; it does not exist here.
    new (&state().wake) std::condition_variable();
    state().mutex.unlock();
}

// The state is made when the module is loaded, before any thread can use it or
// fork (a first use racing a fork could leave the child's copy half made).
int make_state() noexcept {
    new (g_state_storage) PurgerState();
    return ::pthread_atfork(&lock_before_fork, &unlock_in_parent, &unlock_in_child);
}
[[maybe_unused]] const int g_state_made = make_state();

bool start_purger() noexcept {
    try {
        std::thread(purger_loop).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace

unsigned purge_generation() noexcept {
    return g_generation.load(std::memory_order_acquire);
}

void purge_soon() noexcept {
    // In a fixed reservation nothing is given back for long: a purge only makes
    // the pages costlier to use again, and allocations racing it can fail.
    if (fixed_reservation()) return;
    PurgerState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.due = Clock::now() + kQuietPeriod;
    // A forked child inherits the flag but not the thread.
    if (s.purger_process == ::getpid()) return;
    // Without a thread to be had, the memory goes back at a later collection.
    if (start_purger()) s.purger_process = ::getpid();
}

void note_freed(std::size_t bytes) noexcept {
    if (bytes < kPurgeWorthyBytes) {
        // Many small results add up as much as one large one.
        const std::size_t total = g_freed_small.fetch_add(bytes, std::memory_order_relaxed) + bytes;
        if (total < kPurgeWorthyBytes) return;
        g_freed_small.store(0, std::memory_order_relaxed);
    }
    purge_soon();
}

}  // namespace vak::heap
