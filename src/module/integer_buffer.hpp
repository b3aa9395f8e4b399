// Reads a one-dimensional integer buffer export straight into a vector, with the
// same range check as the item-by-item conversion.
#pragma once

#include <Python.h>

#include <cstdint>

#include "common/heap_allocator.hpp"
#include "module/scan_messages.hpp"

namespace vak::py {

enum class BufferRead {
    not_applicable,  // no buffer, or not a 1-D integer format: use the item path
    converted,       // `out` holds every value
    rejected,        // some value is out of range: the item path raises the exact error
    refused,         // a buffer of several dimensions: TypeError set
};

BufferRead read_integer_buffer(PyObject* obj, WordVec& out);  // values 0..2^32-1
BufferRead read_integer_buffer(PyObject* obj, ByteVec& out);  // values 0..255

enum class BufferDims { none_or_one, several };

// Whether the object exports a buffer of more than one dimension (an image array).
BufferDims buffer_dims(PyObject* obj);

// Reads a C-contiguous uint8 buffer of shape (height, width, 3) as its bytes; any
// other shape raises ValueError naming the expected and the given shape.
bool read_image_array(PyObject* obj, std::uint32_t width, std::uint32_t height, ByteVec& out);

// The tolerant reading of such a buffer: each value becomes what the tolerant
// path makes of the same value as a Python int (a word, or an item error with its
// reason when `reasons` is given), so that an array and the list of its values
// give the same result and messages. not_applicable when there is no such buffer.
BufferRead read_tolerant_buffer(PyObject* obj, WordVec& words, ItemReasons* reasons);

}  // namespace vak::py
