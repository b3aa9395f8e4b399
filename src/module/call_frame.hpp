// The call frame shared by every module function: argument binding with the
// interpreter's wording, the argument-error rule, the released section.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <initializer_list>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "common/interrupt.hpp"

namespace vak::py {

struct Signature {
    const char* function;       // display name without "()"
    const char* const* params;  // parameter names, in order
    Py_ssize_t count;           // number of parameters
    Py_ssize_t required;        // the first `required` parameters must be given
};

// Binds METH_FASTCALL|METH_KEYWORDS arguments into `slots` (borrowed references,
// nullptr for an omitted optional parameter). Returns false with TypeError set.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots);

// Applies the argument-error rule to the pending exception: an exception of
// exactly TypeError becomes "argument '<param>': <message>", anything else passes.
// Always returns nullptr so that entry points can `return argument_error(...)`.
PyObject* argument_error(const char* param);

// Sets TypeError "'<qualname>' object cannot be converted to '<expected>'".
void type_check_failure(PyObject* obj, const char* expected);

// For an interpreter call that reported failure: makes sure an exception is set
// (SystemError "attempted to fetch exception but none was set" otherwise).
void ensure_exception_set();

namespace detail {
// Runs fn(context) with the interpreter lock released (see run_released).
bool run_released(void (*fn)(void*), void* context);
}  // namespace detail

// Releases the interpreter lock for `work`, which must not touch Python objects.
// Returns false with a Python exception set when the work ran out of memory
// (MemoryError) or was interrupted by a signal handler that raised (on the main
// thread, pending signals are looked at while the work runs).
template <class Work>
bool run_released(Work&& work) {
    using Fn = std::remove_reference_t<Work>;
    return detail::run_released([](void* context) { (*static_cast<Fn*>(context))(); },
                                static_cast<void*>(&work));
}

// Thrown (under the interpreter lock) when a Python exception is set that the
// call did not expect, so that it ends the call unchanged (see guarded).
struct ErrorPending {};

namespace detail {
void run_holding_lock(void (*fn)(void*), void* context);
}  // namespace detail

// Runs native `work` without giving up the interpreter lock (for work that must
// not let other threads in), looking at pending signals about every 20 ms
// through vak::interrupt polls: a handler that raises ends the call (see
// guarded). Native allocation failures propagate as std::bad_alloc.
template <class Work>
void run_holding_lock(Work&& work) {
    using Fn = std::remove_reference_t<Work>;
    detail::run_holding_lock([](void* context) { (*static_cast<Fn*>(context))(); },
                             static_cast<void*>(&work));
}

// Runs an entry point body under the interpreter lock; native allocation
// failures thrown while converting or building results become MemoryError.
// Deliberately not noexcept: a daemon thread that the interpreter ends at exit is
// unwound from inside the lock re-acquisition, and that unwinding must pass.
template <class Body>
PyObject* guarded(Body&& body) {
    try {
        return std::forward<Body>(body)();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        return PyErr_NoMemory();
    } catch (const interrupt::Interrupted&) {
        return nullptr;  // a signal handler raised; its exception is set
    } catch (const ErrorPending&) {
        return nullptr;
    }
}

// The one place where the module clears a Python exception. Clears the pending
// exception when it is an instance of one of `expected` (a refusal the caller
// handles, such as TypeError from a conversion); any other exception (raised by
// a signal handler, sent asynchronously from another thread, KeyboardInterrupt,
// MemoryError) stays set and ends the call by throwing ErrorPending.
void clear_expected(std::initializer_list<PyObject*> expected);
// The same without the throw: false (the exception left set) for any other.
bool cleared_if_expected(std::initializer_list<PyObject*> expected);

// Called once at module initialisation: keeps the main thread known across fork().
void prepare_signal_checks() noexcept;

// Gives the other Python threads a turn and runs pending signal handlers, so
// that Ctrl-C (or a watchdog thread) can stop the call. A handler that raises
// ends the call (see guarded). Other threads and handlers may change the objects
// being read, and may see every object the call has made so far: those must be
// complete (see result_builders.hpp).
void let_others_run();

// Runs pending signal handlers (the lock held); a handler that raises ends the call.
void check_signals();

// Paces the checks of a loop that holds the interpreter lock: step() counts one
// item and, every `stride` items, looks at a coarse clock; once kSignalIntervalNs
// has passed since the last check, it checks. Whatever an item costs, the lock
// is then never held for long without a look at signals.
class SignalPace {
public:
    // Items per clock reading; a power of two. Use 1 for items that cost
    // microseconds (a dictionary), more for items of a few nanoseconds.
    explicit SignalPace(std::size_t stride = 256) noexcept;

    // Counts an item; true when let_others_run() ran (any Python code may have).
    bool step() {
        if ((++count_ & (stride_ - 1)) != 0) return false;
        return due();
    }
    // Checks now if the interval has passed, whatever the count.
    bool due() {
        if (!time_is_up()) return false;
        let_others_run();
        return true;
    }

private:
    bool time_is_up() noexcept;

    std::size_t stride_;
    std::size_t count_ = 0;
    long long next_check_ns_;
};

// How long the lock is held at most between two looks at pending signals.
inline constexpr long long kSignalIntervalNs = 20'000'000;

// A coarse monotonic clock (a few nanoseconds to read, millisecond resolution).
long long coarse_now_ns() noexcept;

}  // namespace vak::py
