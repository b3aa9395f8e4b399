// Conversions of Python arguments into native values. Each returns false with a
// Python exception set (before the argument-error rule, which callers apply).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "common/mi_allocator.hpp"

namespace vak::py {

bool is_str(PyObject* obj) noexcept;

bool to_u32(PyObject* obj, std::uint32_t& out);
bool to_u8(PyObject* obj, std::uint8_t& out);
bool to_f64(PyObject* obj, double& out);
bool to_bool(PyObject* obj, bool& out);
// Strict UTF-8 copy of a str (or subclass); "PyString" type-check failure otherwise.
bool to_text(PyObject* obj, ByteVec& out);

// Non-str sequences of integers 0..2^32-1 / 0..255.
bool to_word_vector(PyObject* obj, WordVec& out);
bool to_byte_vector(PyObject* obj, ByteVec& out);
// Non-str sequence of word sequences (the batch scan's input).
bool to_word_vectors(PyObject* obj, Vec<WordVec>& out);

// A scanned stream's spans hold 32-bit offsets, so longer streams are refused
// (ValueError, false).
bool check_stream_length(std::size_t entries);

}  // namespace vak::py
