#include "module/interpreter_life.hpp"

#include <Python.h>

#include "registry/normal_word_registry.hpp"

namespace vak::py {

namespace {

// Whether the exit function is registered for the current interpreter. Read and
// written under the interpreter lock, and by the exit function after the
// interpreter is gone.
bool g_exit_registered = false;

// Runs at the very end of Py_FinalizeEx, after the interpreter is gone: nothing of
// Python may be touched here. (A Python-level atexit hook would run too early: daemon
// threads, __del__ methods and later exit hooks may still call the module, and a type
// made again then would be carried into the next interpreter.)
void forget_interpreter() {
    forget_module_cell();
    forget_native_buffer_type();
    forget_main_thread();
    forget_result_texts();
    g_exit_registered = false;
}

}  // namespace

bool enter_interpreter_life() {
    if (g_exit_registered) return true;
    if (Py_AtExit(&forget_interpreter) != 0) {
        PyErr_SetString(PyExc_ImportError,
                        "vak_orn_kernel cannot register the function that lets go of the "
                        "interpreter's objects at finalisation (Py_AtExit is full)");
        return false;
    }
    g_exit_registered = true;
    registry::forget_normal_words();
    return true;
}

}  // namespace vak::py
