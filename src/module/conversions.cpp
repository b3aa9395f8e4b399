#include "module/conversions.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <limits>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "module/call_frame.hpp"
#include "module/int_memo.hpp"
#include "module/integer_buffer.hpp"
#include "module/py_ref.hpp"
#include "scan/core_scan.hpp"

namespace vak::py {

namespace {

// Reserves room for a sequence's items. Only the built-in sequences report their
// true size; any other length is the object's own claim (a __len__ may say 10**9
// over three items), so it reserves a first step and grows with what arrives. A
// true size that cannot be had fails at once with MemoryError, as list() does.
template <class Out>
void reserve_for(PyObject* obj, Out& out) {
    constexpr Py_ssize_t kFirstStep = Py_ssize_t{1} << 16;
    const bool true_size =
        PyList_CheckExact(obj) || PyTuple_CheckExact(obj) || Py_TYPE(obj) == &PyRange_Type;
    Py_ssize_t size = PySequence_Size(obj);
    if (size < 0) {
        // The length is only a hint: whatever ordinary error a __len__ raises,
        // the items are read without it (callers rely on that). KeyboardInterrupt
        // and the like still end the call.
        clear_expected({PyExc_Exception});
        return;
    }
    if (!true_size) size = std::min(size, kFirstStep);
    out.reserve(static_cast<std::size_t>(size));
}

constexpr const char* kOutOfRange = "out of range integral type conversion attempted";

// PyLong_AsLong, then the unsigned bound check shared by the integer conversions.
template <unsigned long long Bound>
bool to_bounded(PyObject* obj, unsigned long long& out) {
    const long value = PyLong_AsLong(obj);
    if (value == -1 && PyErr_Occurred()) return false;
    const auto as_unsigned = static_cast<unsigned long long>(value);
    if (as_unsigned >= Bound) {
        PyErr_SetString(PyExc_OverflowError, kOutOfRange);
        return false;
    }
    out = as_unsigned;
    return true;
}

// A list of integers, in the order of the list iterator. Reading an exact int
// runs no Python code; converting any other item can (its __index__), and so can
// a pace step (other threads, signal handlers): either may change the list, so
// the length is read again after each, once the item has been let go (its
// finaliser may change the list as well). Exact ints met before are found in a memo
// instead of being read again; values gather in a block, so that the vector
// grows once per block.
template <class Out, class ItemConversion>
bool read_int_list(PyObject* list, Out& out, ItemConversion& convert_item) {
    using T = typename Out::value_type;
    constexpr Py_ssize_t kBlock = 256;
    std::array<T, kBlock> block;
    Py_ssize_t length = PyList_Size(list);
    IntMemo<T> memo(length >= 4 * kBlock);
    SignalPace pace(1);  // one step per block
    for (Py_ssize_t i = 0;;) {
        if (pace.step()) {
            memo.forget();
            length = PyList_Size(list);  // handlers may have changed the list
        }
        Py_ssize_t stop = std::min(length, i + kBlock);
        if (i >= stop) return true;
        std::size_t filled = 0;
        for (; i < stop; ++i) {
            PyObject* item = PyList_GetItem(list, i);
            if (item == nullptr) return false;
            T value;
            if (!memo.find(item, value)) {
                if (PyLong_CheckExact(item)) {
                    if (!convert_item(item, value)) return false;
                    memo.remember(item, value);
                } else {
                    {
                        const PyRef held = PyRef::borrowed(item);
                        if (!convert_item(held.get(), value)) return false;
                    }  // let go of the item first: its finaliser may change the list too
                    memo.forget();
                    length = PyList_Size(list);
                    stop = std::min(stop, length);
                }
            }
            block[filled++] = value;
        }
        out.insert(out.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(filled));
    }
}

// The shared shape of every vector conversion: refuse str, require a sequence,
// take an integer buffer whole where one is offered, reserve by its length, then
// read the items: a list by index, anything else through the iterator protocol.
template <class Out, class ItemConversion>
bool to_vector(PyObject* obj, Out& out, ItemConversion&& convert_item) {
    using T = typename Out::value_type;
    if (is_str(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(obj)) {
        type_check_failure(obj, "Sequence");
        return false;
    }
    if constexpr (std::is_same_v<T, std::uint32_t> || std::is_same_v<T, std::uint8_t>) {
        // Integer buffers (arrays, bytes, memoryviews) are read without making an
        // object per item; a rejected value is converted again item by item so
        // that the caller sees exactly the error of the item path.
        const BufferRead read = read_integer_buffer(obj, out);
        if (read == BufferRead::converted) return true;
        if (read == BufferRead::refused) return false;
        out.clear();
    }
    reserve_for(obj, out);

    if constexpr (std::is_integral_v<T>) {
        if (PyList_CheckExact(obj)) return read_int_list(obj, out, convert_item);
    } else if (PyList_CheckExact(obj)) {
        // Same observable order as the list iterator. Converting an item (a
        // stream) can run Python code (an item's __index__, a sequence's own
        // methods), and so can a pace step; either may change the list, so the
        // length is read again after each item has been let go.
        Py_ssize_t length = PyList_Size(obj);
        SignalPace pace(1);
        for (Py_ssize_t i = 0; i < length; ++i) {
            if (pace.step()) {
                length = PyList_Size(obj);  // handlers may have changed the list
                if (i >= length) break;
            }
            PyObject* borrowed = PyList_GetItem(obj, i);
            if (borrowed == nullptr) return false;
            T value;
            {
                const PyRef item = PyRef::borrowed(borrowed);
                if (!convert_item(item.get(), value)) return false;
            }  // let go of the item first: its finaliser may change the list too
            length = PyList_Size(obj);
            out.push_back(std::move(value));
        }
        return true;
    }
    PyRef iterator(PyObject_GetIter(obj));
    if (!iterator) return false;
    SignalPace pace;
    while (PyRef item{PyIter_Next(iterator.get())}) {
        pace.step();
        T value;
        if (!convert_item(item.get(), value)) return false;
        out.push_back(std::move(value));
    }
    return !PyErr_Occurred();
}

bool word_item(PyObject* item, std::uint32_t& out) {
    return to_u32(item, out);
}
bool byte_item(PyObject* item, std::uint8_t& out) {
    return to_u8(item, out);
}

bool is_numpy_bool_type(PyTypeObject* type) {
    PyRef module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    if (!module) {
        clear_expected({PyExc_AttributeError});
        return false;
    }
    if (!PyUnicode_Check(module.get()) ||
        PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
        return false;
    }
    PyRef name(PyType_GetName(type));
    if (!name) throw ErrorPending{};
    return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
           PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

}  // namespace

bool is_str(PyObject* obj) noexcept {
    return (PyType_GetFlags(Py_TYPE(obj)) & Py_TPFLAGS_UNICODE_SUBCLASS) != 0;
}

bool to_u32(PyObject* obj, std::uint32_t& out) {
    unsigned long long value = 0;
    if (!to_bounded<(1ULL << 32)>(obj, value)) return false;
    out = static_cast<std::uint32_t>(value);
    return true;
}

bool to_u8(PyObject* obj, std::uint8_t& out) {
    unsigned long long value = 0;
    if (!to_bounded<256ULL>(obj, value)) return false;
    out = static_cast<std::uint8_t>(value);
    return true;
}

bool to_f64(PyObject* obj, double& out) {
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool to_bool(PyObject* obj, bool& out) {
    if (PyBool_Check(obj)) {
        out = obj == Py_True;
        return true;
    }
    PyTypeObject* type = Py_TYPE(obj);
    if (!is_numpy_bool_type(type)) {
        type_check_failure(obj, "PyBool");
        return false;
    }
    PyRef method(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__bool__"));
    if (!method) {
        if (!cleared_if_expected({PyExc_AttributeError})) return false;
        PyRef type_text(PyObject_Str(reinterpret_cast<PyObject*>(type)));
        if (!type_text) return false;
        PyErr_Format(PyExc_AttributeError,
                     "object of type '%U' does not define a '__bool__' conversion",
                     type_text.get());
        return false;
    }
    PyRef result(PyObject_CallFunctionObjArgs(method.get(), obj, nullptr));
    if (!result) return false;
    if (!PyBool_Check(result.get())) {
        type_check_failure(obj, "PyBool");
        return false;
    }
    out = result.get() == Py_True;
    return true;
}

bool to_word_vector(PyObject* obj, WordVec& out) {
    return to_vector(obj, out, word_item);
}

bool to_byte_vector(PyObject* obj, ByteVec& out) {
    return to_vector(obj, out, byte_item);
}

void reserve_for_items(PyObject* obj, WordVec& out) {
    reserve_for(obj, out);
}

bool check_stream_length(std::size_t entries) {
    if (entries <= scan::kMaxStreamLength) return true;
    PyErr_SetString(PyExc_ValueError, "stream has more than 4294967295 entries");
    return false;
}

bool to_word_vectors(PyObject* obj, Vec<WordVec>& out) {
    return to_vector(obj, out,
                     [](PyObject* item, WordVec& stream) { return to_word_vector(item, stream); });
}

bool to_word_vectors(PyObject* obj, StreamSink& out) {
    return to_vector(obj, out,
                     [](PyObject* item, WordVec& stream) { return to_word_vector(item, stream); });
}

}  // namespace vak::py
