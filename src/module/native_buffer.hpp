// NativeBuffer: an immutable, read-only 32-bit buffer that owns a word vector.
#pragma once

#include <Python.h>

#include "common/heap_allocator.hpp"

namespace vak::py {

// The class object, created on first use and kept for the life of the interpreter.
// Returns nullptr with an exception set if it cannot be created.
PyObject* native_buffer_type();

// Moves `words` into a new NativeBuffer; nullptr with an exception set on failure
// (the vector is then freed).
PyObject* make_native_buffer(PayloadVec&& words);

}  // namespace vak::py
