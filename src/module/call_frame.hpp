// The call frame shared by every module function: argument binding with the
// interpreter's wording, the argument-error rule, the released section.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
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
    }
}

// For a failure that a fallback may absorb: clears the pending exception when it
// is an ordinary error (an Exception). KeyboardInterrupt,
// SystemExit and the like must reach the caller: they are left set, and the
// call unwinds (see guarded).
inline void absorb_ordinary_error() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw interrupt::Interrupted{};
    PyErr_Clear();
}

// Runs pending signal handlers every 65,536 items of a long loop under the lock,
// so that Ctrl-C stops it; returns whether it ran them. A handler that raises
// ends the call (see guarded). Handlers, and the collector that may run with
// them, can change the objects being read.
inline bool check_signals_at(std::size_t item) {
    if ((item & 0xFFFF) != 0 || item == 0) return false;
    if (PyErr_CheckSignals() < 0) throw interrupt::Interrupted{};
    return true;
}

}  // namespace vak::py
