// Builders of Python results from native values; each returns a new reference
// or nullptr with an exception set.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "module/py_ref.hpp"

namespace vak::py {

// A str from a fixed NUL-terminated text, made with its exact length.
PyRef make_text(const char* value);

PyObject* build_word_list(const std::uint32_t* words, std::size_t count);

}  // namespace vak::py
