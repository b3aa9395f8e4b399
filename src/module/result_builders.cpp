#include "module/result_builders.hpp"

#include <cstring>
#include <utility>

namespace vak::py {

PyRef make_text(const char* value) {
    return PyRef(PyUnicode_FromStringAndSize(value, static_cast<Py_ssize_t>(std::strlen(value))));
}

PyRef placeholder_list(std::size_t count) {
    constexpr std::size_t kSmall = 4096;
    if (count <= kSmall) {
        PyRef list(PyList_New(static_cast<Py_ssize_t>(count)));
        if (!list) return list;
        // Nothing between here and the last slot can run Python code.
        for (std::size_t i = 0; i < count; ++i) {
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(Py_None));
        }
        return list;
    }
    // 256 different objects, so that replacing them later releases different
    // reference counts rather than one over and over.
    constexpr Py_ssize_t kKinds = 256;
    PyRef kinds(PyList_New(0));
    if (!kinds) return kinds;
    for (Py_ssize_t k = 0; k < kKinds; ++k) {
        PyRef value(PyLong_FromLong(static_cast<long>(k)));
        if (!value || PyList_Append(kinds.get(), value.get()) < 0) return PyRef();
    }
    const auto wanted = static_cast<Py_ssize_t>(count);
    PyRef list(PySequence_Repeat(kinds.get(), wanted / kKinds + 1));
    if (!list || PyList_SetSlice(list.get(), wanted, PyList_Size(list.get()), nullptr) < 0)
        return PyRef();
    return list;
}

namespace {
// Placeholders per later step of growth: enough that a step costs little beside
// its items, few enough that the block stays in cache.
constexpr std::size_t kGrowthBlock = 16384;
}  // namespace

bool GrowingList::reserve(std::size_t count) {
    if (!list_) {
        list_ = placeholder_list(count);
        if (!list_) return false;
        length_ = count;
    }
    if (length_ >= count) return true;
    if (!block_) {
        block_ = placeholder_list(kGrowthBlock);
        if (!block_) return false;
    }
    while (length_ < count) {
        const auto at = static_cast<Py_ssize_t>(length_);
        if (PyList_SetSlice(list_.get(), at, at, block_.get()) < 0) return false;
        length_ += kGrowthBlock;
    }
    return true;
}

PyRef GrowingList::finish(std::size_t count) {
    if (!reserve(count)) return PyRef();
    if (count < length_ && PyList_SetSlice(list_.get(), static_cast<Py_ssize_t>(count),
                                           static_cast<Py_ssize_t>(length_), nullptr) < 0) {
        return PyRef();
    }
    length_ = count;
    return std::move(list_);
}

PyRef list_of(Vec<PyRef>& items) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return list;
    // Nothing between here and the last item can run Python code.
    for (std::size_t k = 0; k < items.size(); ++k) {
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), items[k].release());  // steals
    }
    return list;
}

PyRef tuple_of(PyRef* items, std::size_t count) {
    for (std::size_t k = 0; k < count; ++k) {
        if (!items[k]) return PyRef();
    }
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(count)));
    if (!tuple) return tuple;
    for (std::size_t k = 0; k < count; ++k) {
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(k), items[k].release());  // steals
    }
    return tuple;
}

}  // namespace vak::py
