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

PyObject* build_text_list(const text::EncodedText& units) {
    const std::size_t count = units.size();
    PyRef list(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    if (count < kSharedIntsFrom) {
        for (std::size_t i = 0; i < count; ++i) {
            PyObject* item = PyLong_FromLong(static_cast<long>(units.word(i)));
            if (item == nullptr) return nullptr;
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
        }
        return list.release();
    }
    UnitInts ints;
    for (std::size_t i = 0; i < count; ++i) {
        check_signals_at(i);
        PyObject* item = ints.get(units.unit(i));
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
