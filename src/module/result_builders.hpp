// Builders of Python results from native values; each returns a new reference
// or nullptr with an exception set.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>


namespace vak::py {

PyObject* build_word_list(const std::uint32_t* words, std::size_t count);
PyObject* build_five_tuple(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint8_t d,
                           std::uint32_t e);

}  // namespace vak::py
