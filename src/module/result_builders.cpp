#include "module/result_builders.hpp"

#include <array>

#include "module/py_ref.hpp"

namespace vak::py {

PyObject* build_word_list(const std::uint32_t* words, std::size_t count) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    // Encoded streams repeat few distinct words. Ints are immutable, so equal
    // words can share one object: a direct-mapped cache of recent ones saves an
    // allocation per item (and most of the list's memory).
    constexpr std::size_t kCacheSlots = 1024;
    std::array<PyObject*, kCacheSlots> cached{};  // borrowed: the list holds them
    std::array<std::uint32_t, kCacheSlots> cached_word{};
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t word = words[i];
        const std::size_t slot = word % kCacheSlots;
        PyObject* item = cached[slot];
        if (item != nullptr && cached_word[slot] == word) {
            Py_INCREF(item);
        } else {
            item = PyLong_FromLong(static_cast<long>(word));
            if (item == nullptr) return nullptr;
            cached[slot] = item;
            cached_word[slot] = word;
        }
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
