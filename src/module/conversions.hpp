// Conversions of Python arguments into native values. Each returns false with a
// Python exception set (before the argument-error rule, which callers apply).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "common/heap_allocator.hpp"

namespace vak::py {

bool is_str(PyObject* obj) noexcept;

bool to_u32(PyObject* obj, std::uint32_t& out);
bool to_u8(PyObject* obj, std::uint8_t& out);
bool to_f64(PyObject* obj, double& out);
bool to_bool(PyObject* obj, bool& out);

// Non-str sequences of integers 0..2^32-1 / 0..255.
bool to_word_vector(PyObject* obj, WordVec& out);
bool to_byte_vector(PyObject* obj, ByteVec& out);
// Non-str sequence of word sequences (the batch scan's input).
bool to_word_vectors(PyObject* obj, Vec<WordVec>& out);

// Takes the streams of a batch one by one, in order, as they are converted.
// push_back may throw ErrorPending (with an exception set) to end the call.
class StreamSink {
public:
    using value_type = WordVec;
    virtual void reserve(std::size_t count) = 0;
    virtual void push_back(WordVec&& stream) = 0;

protected:
    ~StreamSink() = default;
};
bool to_word_vectors(PyObject* obj, StreamSink& out);

// Reserves room for the items of `obj`: its size for a list, tuple or range (a
// size that cannot be had raises MemoryError), a first step for anything else,
// whose reported length may be false.
void reserve_for_items(PyObject* obj, WordVec& out);

// A scanned stream's spans hold 32-bit offsets, so longer streams are refused
// (ValueError, false).
bool check_stream_length(std::size_t entries);

}  // namespace vak::py
