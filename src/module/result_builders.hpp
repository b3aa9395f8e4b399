// Builders of Python results from native values; each returns a new reference
// or nullptr with an exception set.
//
// Lists and tuples are made only here. A container that is visible to Python
// code must be complete at every moment at which Python code can run: another
// thread while the lock is given up, a signal handler, a finaliser run by the
// garbage collector. gc.get_objects() hands every list to such code, and a list
// with empty slots crashes whoever reads it. So a container is either assembled
// from items that all exist already, or filled with placeholders first.
#pragma once

#include <Python.h>

#include <cstddef>

#include "common/heap_allocator.hpp"
#include "module/py_ref.hpp"

namespace vak::py {

// A str from a fixed NUL-terminated text, made with its exact length.
PyRef make_text(const char* value);

// A list of `count` placeholders (None, or for long lists the interpreter's small
// ints in turn), to be replaced item by item with replace_item. Writing every slot up front also
// takes the first-touch cost of the list's memory in one sweep.
PyRef placeholder_list(std::size_t count);

// Puts `item` (a new reference, taken) at index i of a list, releasing what was there.
inline void replace_item(PyObject* list, std::size_t i, PyObject* item) noexcept {
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);  // steals; releases the placeholder
}

// A list whose length is learnt while it is filled. It holds placeholders (as
// placeholder_list) ahead of the items that replace them, so it is complete
// whenever other code may run: first as many as asked for at once, then, should
// they run out, more in blocks. Growing never visits the items in place.
class GrowingList {
public:
    // Makes sure indices below `count` exist: the first call makes the list with
    // exactly `count` placeholders, later ones add blocks. False with an
    // exception set.
    bool reserve(std::size_t count);
    // The list (borrowed), whose items below a count reserved replace_item puts in.
    PyObject* get() const noexcept { return list_.get(); }
    // The list of its first `count` items (the placeholders after them dropped),
    // or nullptr with an exception set.
    PyRef finish(std::size_t count);

private:
    PyRef list_;
    PyRef block_;  // the placeholders of one later step of growth
    std::size_t length_ = 0;
};

// A list holding `items` in order (their references are taken); nullptr with an
// exception set when the list cannot be made (the items are then released).
PyRef list_of(Vec<PyRef>& items);

// A tuple of `count` items (references taken); nullptr, with the exception of the
// failed builder kept, when any item is nullptr.
PyRef tuple_of(PyRef* items, std::size_t count);

}  // namespace vak::py
