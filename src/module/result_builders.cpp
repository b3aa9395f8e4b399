#include "module/result_builders.hpp"

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

// A list of small ints is fastest made by the interpreter's own conversion of a
// bytes object (the stable API has no faster way to fill a list). Lists whose
// words mostly fit a byte (text, for one) start that way; the few larger words
// are then put in place one by one.
PyObject* build_mostly_small_word_list(const std::uint32_t* words, std::size_t count) {
    PyRef bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count)));
    if (!bytes) return nullptr;
    char* out = PyBytes_AsString(bytes.get());
    if (out == nullptr) return nullptr;
    for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<char>(words[i] < 256 ? words[i] : 0);
    PyRef list(PySequence_List(bytes.get()));
    if (!list) return nullptr;
    IntCache cache;
    for (std::size_t i = 0; i < count; ++i) {
        if (words[i] < 256) continue;
        PyObject* item = cache.get(words[i]);
        if (item == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
    }
    return list.release();
}

std::size_t count_large(const std::uint32_t* words, std::size_t count) {
    std::size_t large = 0;
    for (std::size_t i = 0; i < count; ++i) large += words[i] >= 256;
    return large;
}

}  // namespace

PyObject* build_word_list(const std::uint32_t* words, std::size_t count) {
    if (count >= kCachedListLength && 2 * count_large(words, count) < count) {
        return build_mostly_small_word_list(words, count);
    }
    PyRef list(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    if (count < kCachedListLength) {
        for (std::size_t i = 0; i < count; ++i) {
            PyObject* item = PyLong_FromLong(static_cast<long>(words[i]));
            if (item == nullptr) return nullptr;
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
        }
        return list.release();
    }
    IntCache cache;
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* item = cache.get(words[i]);
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
