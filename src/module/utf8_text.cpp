#include "module/utf8_text.hpp"

#include <algorithm>

#include "module/call_frame.hpp"

namespace vak::py {

namespace {

// Characters per piece: a few milliseconds of conversion at most.
constexpr Py_ssize_t kPiece = Py_ssize_t{1} << 20;

// A UnicodeEncodeError raised for the piece that starts at `offset` is made to
// describe the whole str: the interpreter's message names the position in it.
void place_error_in(PyObject* text, Py_ssize_t offset) {
    PyObject* raw_type = nullptr;
    PyObject* raw_value = nullptr;
    PyObject* raw_tb = nullptr;
    PyErr_Fetch(&raw_type, &raw_value, &raw_tb);
    PyErr_NormalizeException(&raw_type, &raw_value, &raw_tb);
    Py_ssize_t start = 0;
    Py_ssize_t end = 0;
    if (raw_value != nullptr && PyUnicodeEncodeError_GetStart(raw_value, &start) == 0 &&
        PyUnicodeEncodeError_GetEnd(raw_value, &end) == 0 &&
        PyObject_SetAttrString(raw_value, "object", text) == 0 &&
        PyUnicodeEncodeError_SetStart(raw_value, start + offset) == 0 &&
        PyUnicodeEncodeError_SetEnd(raw_value, end + offset) == 0) {
        PyErr_Restore(raw_type, raw_value, raw_tb);
        return;
    }
    // Adjusting failed (its own exception is set): that one is reported.
    Py_XDECREF(raw_type);
    Py_XDECREF(raw_value);
    Py_XDECREF(raw_tb);
}

}  // namespace

bool Utf8Text::read(PyObject* text) {
    const Py_ssize_t length = PyUnicode_GetLength(text);
    if (length < 0) return false;
    if (length > kPiece) return read_piecewise(text, length);
    // A new bytes object rather than the str's cached UTF-8 form, which would
    // stay attached to the caller's str (three bytes per CJK character) for as
    // long as it lives.
    bytes_ = PyRef(PyUnicode_AsUTF8String(text));
    if (!bytes_) return false;
    char* bytes = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes_.get(), &bytes, &size) < 0) return false;
    data_ = reinterpret_cast<const std::uint8_t*>(bytes);
    size_ = static_cast<std::size_t>(size);
    return true;
}

bool Utf8Text::read_piecewise(PyObject* text, Py_ssize_t length) {
    joined_.reserve(static_cast<std::size_t>(length));  // at least a byte per character
    SignalPace pace(1);
    for (Py_ssize_t begin = 0; begin < length; begin += kPiece) {
        if (begin != 0) pace.step();
        const Py_ssize_t end = std::min(length, begin + kPiece);
        PyRef piece(PyUnicode_Substring(text, begin, end));
        if (!piece) return false;
        PyRef bytes(PyUnicode_AsUTF8String(piece.get()));
        if (!bytes) {
            if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) place_error_in(text, begin);
            return false;
        }
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) return false;
        if (joined_.capacity() - joined_.size() < static_cast<std::size_t>(size)) {
            // Grow once to what the text so far predicts for the rest.
            const double per_char =
                static_cast<double>(joined_.size() + static_cast<std::size_t>(size)) /
                static_cast<double>(end);
            const auto rest = static_cast<double>(length - end);
            joined_.reserve(joined_.size() + static_cast<std::size_t>(size) +
                            static_cast<std::size_t>(per_char * rest * 1.0625));
        }
        const auto* first = reinterpret_cast<const std::uint8_t*>(data);
        joined_.insert(joined_.end(), first, first + size);
    }
    data_ = joined_.data();
    size_ = joined_.size();
    return true;
}

void Utf8Text::release() noexcept {
    bytes_ = PyRef();
    ByteVec().swap(joined_);
    data_ = nullptr;
    size_ = 0;
}

}  // namespace vak::py
