// Every message of the scanner, written in one place. Each names the entry's
// index in the stream:
//   "index {i}: word out of range {w}"   a word above 0xFFFFF (w unsigned)
// and, for an item of the tolerant path that cannot be a word, "index {i}: "
// followed by its reason:
//   "word out of range {v}"              an int outside 0..0xFFFFF (v signed)
//   "word out of range int"              an int outside the signed 64-bit range
//   "non-int word type={t}"              anything else; t is its type's name
#pragma once

#include <Python.h>

#include "common/heap_allocator.hpp"
#include "module/py_ref.hpp"
#include "scan/scan_record.hpp"

namespace vak::py {

// The reasons of the tolerant path's item errors, in stream order.
using ItemReasons = Vec<HeapString>;

HeapString out_of_range_reason(long value);
HeapString out_of_signed_range_reason();
HeapString non_int_reason(PyObject* item);

// The "validation_errors" list for a record's invalid entries. `reasons` holds
// the item reasons of a tolerant read (nullptr for a stream of words).
PyRef validation_errors(const Vec<scan::InvalidEntry>& entries, const ItemReasons* reasons);

}  // namespace vak::py
