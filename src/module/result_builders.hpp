// Builders of Python results from native values; each returns a new reference
// or nullptr with an exception set.
#pragma once

#include <Python.h>

#include "module/py_ref.hpp"

namespace vak::py {

// A str from a fixed NUL-terminated text, made with its exact length.
PyRef make_text(const char* value);

}  // namespace vak::py
