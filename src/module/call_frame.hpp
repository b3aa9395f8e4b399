// The call frame shared by every module function: argument binding with the
// interpreter's wording, the argument-error rule, the released section.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <new>
#include <utility>

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

// Releases the interpreter lock for `work`, which must not touch Python objects.
// Returns false with MemoryError set if the work ran out of memory.
template <class Work>
bool run_released(Work&& work) {
    bool out_of_memory = false;
    PyThreadState* saved = PyEval_SaveThread();
    try {
        std::forward<Work>(work)();
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    }
    PyEval_RestoreThread(saved);
    if (out_of_memory) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

// Runs an entry point body under the interpreter lock; native allocation
// failures thrown while converting or building results become MemoryError.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace vak::py
