#include "common/heap_purger.hpp"

#include <unistd.h>

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

std::mutex g_mutex;
std::condition_variable g_wake;
Clock::time_point g_due{};
pid_t g_purger_process = 0;  // the process whose purger thread runs; 0 when none

void purger_loop() {
    // The allocator collects through the calling thread's heap: give this thread one.
    release(allocate(1));
    std::unique_lock<std::mutex> lock(g_mutex);
    for (;;) {
        // Every new large release moves the deadline: purge only once it is quiet.
        while (Clock::now() < g_due) g_wake.wait_until(lock, g_due);
        lock.unlock();
        purge_now();
        lock.lock();
        if (Clock::now() >= g_due) {
            g_purger_process = 0;
            return;
        }
    }
}

}  // namespace

void purge_soon() noexcept {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_due = Clock::now() + kQuietPeriod;
    // A forked child inherits the flag but not the thread.
    if (g_purger_process == ::getpid()) return;
    try {
        std::thread(purger_loop).detach();
        g_purger_process = ::getpid();
    } catch (const std::system_error&) {
        // No thread to be had: the memory goes back at the next collection instead.
    } catch (const std::bad_alloc&) {
    }
}

}  // namespace vak::heap
