// encode_text: takes the str's UTF-8 into a bytes object of the call's own (the
// str itself keeps no UTF-8 copy afterwards), encodes it with the lock
// released, and builds the list from the two-byte output units.
#include "common/mi_allocator.hpp"
#include "module/call_frame.hpp"
#include "module/conversions.hpp"
#include "module/entry_points.hpp"
#include "module/py_ref.hpp"
#include "text/encoder.hpp"

namespace vak::py {

namespace {

// Below this many words a list gets one new int per item (small ones are the
// interpreter's cached objects anyway); above it the table pays for itself.
constexpr std::size_t kSharedIntsFrom = 16384;

// One int object per distinct unit of a call, made on first use and shared by
// every item with that value: a table over all 65,536 units.
class UnitInts {
public:
    UnitInts() : table_(std::size_t{1} << 16, nullptr) {}
    UnitInts(const UnitInts&) = delete;
    UnitInts& operator=(const UnitInts&) = delete;
    ~UnitInts() {
        if (detail::t_lock_lost) return;
        for (std::uint32_t unit : made_) Py_DECREF(table_[unit]);
    }

    // A borrowed reference, or nullptr with an exception set.
    PyObject* get(std::uint32_t unit) {
        PyObject* value = table_[unit];
        return value != nullptr ? value : make(unit);
    }

private:
    PyObject* make(std::uint32_t unit) {
        made_.reserve(made_.size() + 1);  // so that no object is made without its release
        PyObject* value = PyLong_FromLong(static_cast<long>(text::word_of_unit(unit)));
        if (value == nullptr) return nullptr;
        table_[unit] = value;
        made_.push_back(unit);
        return value;
    }

    Vec<PyObject*> table_;
    Vec<std::uint32_t> made_;
};

// Direct words below 256 (ASCII) are the interpreter's cached small ints: units
// 0xF800..0xF8FF.
inline bool is_small_unit(std::uint32_t unit) noexcept {
    return (unit >> 8) == text::kDirectTag;
}

// A list of `count` placeholders, written rather than merely allocated: the
// first read of a page that PyList_New left unwritten (replacing an item reads
// the old one) costs a page fault of its own before the write's. The
// placeholders are the 256 cached small ints in turn, so that replacing them
// releases 256 different objects rather than one refcount over and over.
PyRef placeholder_list(std::size_t count) {
    constexpr Py_ssize_t kKinds = 256;
    PyRef kinds(PyList_New(kKinds));
    if (!kinds) return kinds;
    for (Py_ssize_t k = 0; k < kKinds; ++k) {
        PyObject* value = PyLong_FromLong(static_cast<long>(k));
        if (value == nullptr) return PyRef();
        PyList_SetItem(kinds.get(), k, value);  // steals
    }
    const auto wanted = static_cast<Py_ssize_t>(count);
    PyRef list(PySequence_Repeat(kinds.get(), wanted / kKinds + 1));
    if (!list || PyList_SetSlice(list.get(), wanted, PyList_Size(list.get()), nullptr) < 0)
        return PyRef();
    return list;
}

// For text that is mostly ASCII: the interpreter turns a bytes object into a
// list of small ints fastest, so the list starts as that, with every small
// direct word already in place and the low byte of the unit elsewhere (to be
// replaced).
PyRef small_int_list(const text::EncodedText& units) {
    const std::size_t count = units.size();
    PyRef bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count)));
    if (!bytes) return bytes;
    char* out = PyBytes_AsString(bytes.get());
    if (out == nullptr) return PyRef();
    const std::uint8_t* in = units.bytes();
    for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<char>(in[2 * i + 1]);
    return PyRef(PySequence_List(bytes.get()));
}

std::size_t count_small_units(const text::EncodedText& units) {
    const std::uint8_t* in = units.bytes();
    std::size_t small = 0;
    for (std::size_t i = 0; i < units.size(); ++i) small += in[2 * i] == text::kDirectTag;
    return small;
}

// Gives other Python threads a turn during a long build under the lock (the
// caller's own threads, a watchdog that sends a signal). If the interpreter
// ends this thread meanwhile, the objects held above are left alone.
void let_other_threads_run() {
    PyThreadState* saved = PyEval_SaveThread();
    detail::t_lock_lost = true;
    PyEval_RestoreThread(saved);
    detail::t_lock_lost = false;
}

PyObject* build_text_list(const text::EncodedText& units) {
    const std::size_t count = units.size();
    if (count < kSharedIntsFrom) {
        PyRef list(PyList_New(static_cast<Py_ssize_t>(count)));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < count; ++i) {
            PyObject* item = PyLong_FromLong(static_cast<long>(units.word(i)));
            if (item == nullptr) return nullptr;
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
        }
        return list.release();
    }
    const bool mostly_small = 2 * count_small_units(units) >= count;
    PyRef list = mostly_small ? small_int_list(units) : placeholder_list(count);
    if (!list) return nullptr;
    UnitInts ints;
    for (std::size_t i = 0; i < count; ++i) {
        if ((i & 0xFFFF) == 0 && i != 0) let_other_threads_run();
        check_signals_at(i);
        const std::uint32_t unit = units.unit(i);
        if (mostly_small && is_small_unit(unit)) continue;  // already in place
        PyObject* item = ints.get(unit);
        if (item == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(item));  // steals
    }
    return list.release();
}

}  // namespace

PyObject* encode_text(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kParams[] = {"text"};
        static const Signature kSig{"encode_text", kParams, 1, 1};
        PyObject* slots[1] = {};
        if (!bind_arguments(kSig, args, nargs, kwnames, slots)) return nullptr;
        if (!is_str(slots[0])) {
            type_check_failure(slots[0], "PyString");
            return argument_error("text");
        }
        // A new bytes object rather than the str's cached UTF-8 form, which would
        // stay attached to the caller's str (three bytes per CJK character) for
        // as long as it lives. Lone surrogates raise UnicodeEncodeError here.
        PyRef utf8(PyUnicode_AsUTF8String(slots[0]));
        if (!utf8) return argument_error("text");
        char* bytes = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(utf8.get(), &bytes, &size) < 0) return nullptr;
        text::EncodedText units;
        // Only this call holds the bytes object, so nothing changes it meanwhile.
        if (!run_released([&] {
                units = text::encode_text_units(reinterpret_cast<const std::uint8_t*>(bytes),
                                                static_cast<std::size_t>(size));
            })) {
            return nullptr;
        }
        utf8 = PyRef();  // not needed while the list is built
        return build_text_list(units);
    });
}

}  // namespace vak::py
