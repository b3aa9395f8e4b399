// encode_text: takes the str's UTF-8 into storage of the call's own (a bytes
// object, or for a long str its pieces joined in a vector; the str itself keeps
// no UTF-8 copy afterwards), encodes it with the lock released, and builds the
// list from the two-byte output units.
#include "common/heap_allocator.hpp"
#include "module/call_frame.hpp"
#include "module/conversions.hpp"
#include "module/entry_points.hpp"
#include "module/py_ref.hpp"
#include "module/result_builders.hpp"
#include "module/utf8_text.hpp"
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

PyObject* build_text_list(const text::EncodedText& units) {
    const std::size_t count = units.size();
    if (count < kSharedIntsFrom) {
        PyRef list = placeholder_list(count);
        if (!list) return nullptr;
        for (std::size_t i = 0; i < count; ++i) {
            PyObject* item = PyLong_FromLong(static_cast<long>(units.word(i)));
            if (item == nullptr) return nullptr;
            replace_item(list.get(), i, item);
        }
        return list.release();
    }
    const bool mostly_small = 2 * count_small_units(units) >= count;
    PyRef list = mostly_small ? small_int_list(units) : placeholder_list(count);
    if (!list) return nullptr;
    UnitInts ints;
    SignalPace pace(1024);
    for (std::size_t i = 0; i < count; ++i) {
        pace.step();
        const std::uint32_t unit = units.unit(i);
        if (mostly_small && is_small_unit(unit)) continue;  // already in place
        PyObject* item = ints.get(unit);
        if (item == nullptr) return nullptr;
        replace_item(list.get(), i, Py_NewRef(item));
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
        // Lone surrogates raise UnicodeEncodeError here.
        Utf8Text utf8;
        if (!utf8.read(slots[0])) return argument_error("text");
        text::EncodedText units;
        // Only this call holds the bytes, so nothing changes them meanwhile.
        if (!run_released([&] { units = text::encode_text_units(utf8.data(), utf8.size()); })) {
            return nullptr;
        }
        utf8.release();  // not needed while the list is built
        return build_text_list(units);
    });
}

}  // namespace vak::py
