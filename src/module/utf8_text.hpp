// A str's UTF-8 form, owned by the call, read in pieces so that a long str can
// be interrupted while it is converted.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "common/heap_allocator.hpp"
#include "module/py_ref.hpp"

namespace vak::py {

class Utf8Text {
public:
    // Converts `text` (a str or a subclass). False with the exception set:
    // UnicodeEncodeError for a lone surrogate (positions count from the start
    // of `text`, as the interpreter's own conversion reports them), or whatever
    // a signal handler raised between two pieces.
    bool read(PyObject* text);

    const std::uint8_t* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    // Frees the bytes (the encoded units no longer need them).
    void release() noexcept;

private:
    bool read_piecewise(PyObject* text, Py_ssize_t length);

    PyRef bytes_;     // a short str: the interpreter's conversion, kept as it is
    ByteVec joined_;  // a long one: its pieces, joined
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace vak::py
