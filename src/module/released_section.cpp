// The released section of every computing call: the interpreter lock is given up
// for the native work, pending signals are looked at now and then on the main
// thread, and the lock is taken back.
#include <time.h>

#include <new>
#include <stdexcept>

#include "common/interrupt.hpp"
#include "module/call_frame.hpp"
#include "module/interpreter_life.hpp"
#include "module/py_ref.hpp"

namespace vak::py {

namespace {

// How often the main thread looks at pending signals while native work runs.
constexpr long long kSignalCheckIntervalNs = 50'000'000;

long long coarse_now_ns() noexcept {
    timespec now{};
#ifdef CLOCK_MONOTONIC_COARSE  // Linux: a few nanoseconds, millisecond resolution
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
#else
    ::clock_gettime(CLOCK_MONOTONIC, &now);
#endif
    return static_cast<long long>(now.tv_sec) * 1'000'000'000LL + now.tv_nsec;
}

// Takes the lock back. When the interpreter is shutting down it ends this thread
// right there (by unwinding it): the frames above must then leave Python objects
// alone, which the flag tells them.
void reacquire(PyThreadState* saved) {
    detail::t_lock_lost = true;
    PyEval_RestoreThread(saved);
    detail::t_lock_lost = false;
}

// The main thread of the current interpreter once known, found again after a new
// interpreter starts (possibly on another thread). The interpreter lock serialises
// writers.
bool g_main_thread_known = false;
unsigned long g_main_thread_ident = 0;

// Signal handlers run only on the main thread, so only that thread needs to look.
bool on_main_thread() {
    if (!g_main_thread_known) {
        PyRef threading(PyImport_ImportModule("threading"));
        PyRef main_thread(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr)
                                    : nullptr);
        PyRef ident(main_thread ? PyObject_GetAttrString(main_thread.get(), "ident") : nullptr);
        const unsigned long value = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
        if (PyErr_Occurred()) {
            // The lookup runs Python code, and with it any pending signal
            // handler: its exception (KeyboardInterrupt) ends the call.
            absorb_ordinary_error();
            return false;
        }
        g_main_thread_ident = value;
        g_main_thread_known = true;
    }
    return PyThread_get_thread_ident() == g_main_thread_ident;
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

}  // namespace

void forget_main_thread() noexcept {
    g_main_thread_known = false;
}

void let_others_run() {
    reacquire(PyEval_SaveThread());
    if (PyErr_CheckSignals() < 0) throw interrupt::Interrupted{};
}

namespace detail {

bool run_released(void (*fn)(void*), void* context) {
    enum class Outcome { done, out_of_memory, interrupted };
    Outcome outcome = Outcome::done;
    const bool watch_signals = on_main_thread();
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
