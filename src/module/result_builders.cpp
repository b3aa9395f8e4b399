#include "module/result_builders.hpp"

#include "module/py_ref.hpp"

namespace vak::py {

PyObject* build_word_list(const std::uint32_t* words, std::size_t count) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* item = PyLong_FromLong(static_cast<long>(words[i]));
        if (item == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
    }
    return list.release();
}

PyObject* build_five_tuple(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint8_t d,
                           std::uint32_t e) {
    const long values[5] = {static_cast<long>(a), static_cast<long>(b), static_cast<long>(c),
                            static_cast<long>(d), static_cast<long>(e)};
    PyRef tuple(PyTuple_New(5));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < 5; ++i) {
        PyObject* item = PyLong_FromLong(values[i]);
        if (item == nullptr) return nullptr;
        PyTuple_SetItem(tuple.get(), i, item);  // steals
    }
    return tuple.release();
}

}  // namespace vak::py
