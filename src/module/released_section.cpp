// The released section of every computing call: the interpreter lock is given up
// for the native work, pending signals are looked at now and then on the main
// thread, and the lock is taken back.
#include <time.h>
#include <unistd.h>
#if !defined(_WIN32)
#include <pthread.h>
#endif

#include <atomic>

#include <new>
#include <stdexcept>

#include "common/interrupt.hpp"
#include "module/call_frame.hpp"
#include "module/interpreter_life.hpp"
#include "module/py_ref.hpp"

namespace vak::py {

long long coarse_now_ns() noexcept {
    timespec now{};
#ifdef CLOCK_MONOTONIC_COARSE  // Linux: a few nanoseconds, millisecond resolution
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
#else
    ::clock_gettime(CLOCK_MONOTONIC, &now);
#endif
    return static_cast<long long>(now.tv_sec) * 1'000'000'000LL + now.tv_nsec;
}

namespace {

// How often the main thread looks at pending signals while native work runs.
constexpr long long kSignalCheckIntervalNs = 50'000'000;

// Takes the lock back. When the interpreter is shutting down it ends this thread
// right there (by unwinding it): the frames above must then leave Python objects
// alone, which the flag tells them.
void reacquire(PyThreadState* saved) {
    detail::t_lock_lost = true;
    PyEval_RestoreThread(saved);
    detail::t_lock_lost = false;
}

// Signal handlers run only on the interpreter's main thread: the thread that
// started it, or in a forked child the thread that forked. Threads are told
// apart by their operating-system ids, which the thread identities of
// monkey-patching libraries (green threads) leave alone. 0: not known yet.
std::atomic<unsigned long> g_main_thread{0};
thread_local unsigned long t_this_thread = 0;

unsigned long this_thread() noexcept {
    if (t_this_thread == 0) t_this_thread = PyThread_get_thread_native_id();
    return t_this_thread;
}

// In a forked child the forking thread is the main one (as the interpreter
// itself decides after a fork), whatever was known before.
void after_fork_in_child() noexcept {
    t_this_thread = 0;
    g_main_thread.store(this_thread(), std::memory_order_relaxed);
}

// threading.main_thread().native_id; false with the exception set when Python
// code run by the lookup raised (a pending signal handler).
bool look_up_main_thread(unsigned long& main) {
    PyRef threading(PyImport_ImportModule("threading"));
    PyRef thread(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr)
                           : nullptr);
    PyRef id(thread ? PyObject_GetAttrString(thread.get(), "native_id") : nullptr);
    main = id ? PyLong_AsUnsignedLong(id.get()) : 0;
    if (!PyErr_Occurred()) return true;
    // An interpreter without the threading module (or with a stand-in lacking
    // native_id): the process's first thread, which has the process's id.
    if (!cleared_if_expected(
            {PyExc_ImportError, PyExc_AttributeError, PyExc_TypeError, PyExc_OverflowError})) {
        return false;
    }
    main = static_cast<unsigned long>(::getpid());
    return true;
}

bool on_main_thread(bool& main) {
    unsigned long known = g_main_thread.load(std::memory_order_relaxed);
    if (known == 0) {
        if (!look_up_main_thread(known)) return false;
        g_main_thread.store(known, std::memory_order_relaxed);
    }
    main = this_thread() == known;
    return true;
}

// Installed on the main thread while it works without the lock: about every 50 ms
// it takes the lock back briefly and runs the pending signal handlers. If one
// raises (KeyboardInterrupt), the work unwinds with that exception pending.
class SignalChecker final : public interrupt::Checker {
public:
    explicit SignalChecker(PyThreadState** saved) noexcept
        : saved_(saved), next_check_(coarse_now_ns() + kSignalCheckIntervalNs) {}

    void poll() override {
        const long long now = coarse_now_ns();
        if (now < next_check_) return;
        next_check_ = now + kSignalCheckIntervalNs;
        reacquire(*saved_);
        const int status = PyErr_CheckSignals();
        *saved_ = PyEval_SaveThread();
        if (status < 0) throw interrupt::Interrupted{};
    }

private:
    PyThreadState** saved_;
    long long next_check_;
};

// Installed while native work runs with the lock held: about every 20 ms it runs
// the pending signal handlers.
class HeldLockChecker final : public interrupt::Checker {
public:
    HeldLockChecker() noexcept : next_check_(coarse_now_ns() + kSignalIntervalNs) {}

    void poll() override {
        const long long now = coarse_now_ns();
        if (now < next_check_) return;
        next_check_ = now + kSignalIntervalNs;
        if (PyErr_CheckSignals() < 0) throw interrupt::Interrupted{};
    }

private:
    long long next_check_;
};

}  // namespace

void prepare_signal_checks() noexcept {
    static std::atomic<bool> registered{false};
#if !defined(_WIN32)
    if (!registered.exchange(true)) ::pthread_atfork(nullptr, nullptr, &after_fork_in_child);
#endif
}

void forget_main_thread() noexcept {
    g_main_thread.store(0, std::memory_order_relaxed);
}

void let_others_run() {
    reacquire(PyEval_SaveThread());
    check_signals();
}

void check_signals() {
    if (PyErr_CheckSignals() < 0) throw interrupt::Interrupted{};
}

SignalPace::SignalPace(std::size_t stride) noexcept
    : stride_(stride), next_check_ns_(coarse_now_ns() + kSignalIntervalNs) {}

bool SignalPace::time_is_up() noexcept {
    const long long now = coarse_now_ns();
    if (now < next_check_ns_) return false;
    next_check_ns_ = now + kSignalIntervalNs;
    return true;
}

namespace detail {

void run_holding_lock(void (*fn)(void*), void* context) {
    HeldLockChecker checker;
    interrupt::Scope scope(&checker);
    fn(context);
}

bool run_released(void (*fn)(void*), void* context) {
    enum class Outcome { done, out_of_memory, interrupted };
    Outcome outcome = Outcome::done;
    bool watch_signals = false;
    if (!on_main_thread(watch_signals)) return false;
    PyThreadState* saved = PyEval_SaveThread();
    {
        SignalChecker checker(&saved);
        interrupt::Scope scope(watch_signals ? &checker : nullptr);
        try {
            fn(context);
        } catch (const std::bad_alloc&) {
            outcome = Outcome::out_of_memory;
        } catch (const std::length_error&) {
            outcome = Outcome::out_of_memory;
        } catch (const interrupt::Interrupted&) {
            outcome = Outcome::interrupted;  // the handler's exception is already set
        }
    }
    reacquire(saved);
    if (outcome == Outcome::out_of_memory) PyErr_NoMemory();
    return outcome == Outcome::done;
}

}  // namespace detail

}  // namespace vak::py
