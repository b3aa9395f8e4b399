#include "module/result_builders.hpp"

#include <cstring>

#include "common/mi_allocator.hpp"
#include "module/py_ref.hpp"

namespace vak::py {

namespace {

// Long word lists repeat a limited set of values (byte pairs, image commands), so
// one int object per distinct value of a call, shared by its items, saves most
// of the allocations. A direct-mapped table: a miss simply replaces the entry.
class IntCache {
public:
    static constexpr std::size_t kBits = 14;

    IntCache() : entries_(std::size_t{1} << kBits) {}
    IntCache(const IntCache&) = delete;
    IntCache& operator=(const IntCache&) = delete;
    ~IntCache() {
        for (Entry& entry : entries_) Py_XDECREF(entry.value);
    }

    // A new reference to an int equal to `word`, or nullptr with an exception set.
    PyObject* get(std::uint32_t word) {
        Entry& entry = entries_[(word * 0x9E3779B1u) >> (32 - kBits)];
        if (entry.value == nullptr || entry.word != word) {
            PyObject* created = PyLong_FromLong(static_cast<long>(word));
            if (created == nullptr) return nullptr;
            Py_XDECREF(entry.value);
            entry.value = created;
            entry.word = word;
        }
        return Py_NewRef(entry.value);
    }

private:
    struct Entry {
        std::uint32_t word = 0;
        PyObject* value = nullptr;
    };
    Vec<Entry> entries_;
};

constexpr std::size_t kCachedListLength = 8192;

// Puts a new int, from `make_int`, into the list at the place of every word of at
// least `from_value`; false with an exception set if one cannot be made.
template <class MakeInt>
bool put_words(PyObject* list, const std::uint32_t* words, std::size_t count,
               std::uint32_t from_value, MakeInt&& make_int) {
    for (std::size_t i = 0; i < count; ++i) {
        if (words[i] < from_value) continue;
        PyObject* item = make_int(words[i]);
        if (item == nullptr) return false;
        PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);  // steals
    }
    return true;
}

// A list of small ints is fastest made by the interpreter's own conversion of a
// bytes object (the stable API has no faster way to fill a list). Lists whose
// words mostly fit a byte (text, for one) start that way, with 0 in the places
// of the larger words.
PyRef small_word_list(const std::uint32_t* words, std::size_t count) {
    PyRef bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count)));
    if (!bytes) return bytes;
    char* out = PyBytes_AsString(bytes.get());
    if (out == nullptr) return PyRef();
    for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<char>(words[i] < 256 ? words[i] : 0);
    return PyRef(PySequence_List(bytes.get()));
}

std::size_t count_large(const std::uint32_t* words, std::size_t count) {
    std::size_t large = 0;
    for (std::size_t i = 0; i < count; ++i) large += words[i] >= 256;
    return large;
}

}  // namespace

PyObject* build_word_list(const std::uint32_t* words, std::size_t count) {
    const bool long_list = count >= kCachedListLength;
    const bool mostly_small = long_list && 2 * count_large(words, count) < count;
    PyRef list = mostly_small ? small_word_list(words, count)
                              : PyRef(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    const std::uint32_t from_value = mostly_small ? 256 : 0;
    if (!long_list) {
        auto fresh_int = [](std::uint32_t word) { return PyLong_FromLong(static_cast<long>(word)); };
        return put_words(list.get(), words, count, from_value, fresh_int) ? list.release() : nullptr;
    }
    IntCache cache;
    auto shared_int = [&cache](std::uint32_t word) { return cache.get(word); };
    return put_words(list.get(), words, count, from_value, shared_int) ? list.release() : nullptr;
}

PyRef make_text(const char* value) {
    return PyRef(PyUnicode_FromStringAndSize(value, static_cast<Py_ssize_t>(std::strlen(value))));
}

}  // namespace vak::py
