#include "module/text_list.hpp"

namespace vak::py {

namespace {

// Items put in between two looks at the clock (of SignalPace).
constexpr std::size_t kItemsPerLook = 1024;

// The most placeholders a list of units in batches starts with: about 30 MB of
// fresh memory, some tens of milliseconds without a look at signals on a busy
// machine. Beyond them it grows by blocks, between looks.
constexpr std::size_t kMostAtOnce = std::size_t{4} << 20;

// Below this many words a list gets one new int per item (small ones are the
// interpreter's cached objects anyway); above it the table pays for itself.
constexpr std::size_t kSharedIntsFrom = 16384;

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

}  // namespace

UnitInts::~UnitInts() {
    if (detail::t_lock_lost) return;
    for (std::uint32_t unit : made_) Py_DECREF(table_[unit]);
}

PyObject* UnitInts::make(std::uint32_t unit) {
    made_.reserve(made_.size() + 1);  // so that no object is made without its release
    PyObject* value = PyLong_FromLong(static_cast<long>(text::word_of_unit(unit)));
    if (value == nullptr) return nullptr;
    table_[unit] = value;
    made_.push_back(unit);
    return value;
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

bool TextListBuilder::add(const std::uint8_t* units, std::size_t count,
                          std::size_t guessed_length) {
    // The first batch makes the list as long as the guess at once (up to a
    // size made quickly: making it looks at no signals); later it grows by blocks.
    if (built_ == 0) {
        if (!list_.reserve(guessed_length < kMostAtOnce ? guessed_length : kMostAtOnce)) {
            return false;
        }
    }
    // Locals, so that the interpreter calls between items leave them in registers.
    PyObject* const list = list_.get();
    PyObject* const* const made = ints_.made();
    for (std::size_t done = 0; done < count;) {
        const std::size_t step = count - done > kItemsPerLook ? kItemsPerLook : count - done;
        if (!list_.reserve(built_ + step)) return false;
        const std::uint8_t* in = units + 2 * done;
        for (std::size_t k = 0; k < step; ++k) {
            const std::uint32_t unit = std::uint32_t{in[2 * k]} << 8 | in[2 * k + 1];
            PyObject* item = made[unit] != nullptr ? made[unit] : ints_.make(unit);
            if (item == nullptr) return false;
            replace_item(list, built_ + k, Py_NewRef(item));
        }
        built_ += step;
        done += step;
        pace_.due();
    }
    return true;
}

PyObject* TextListBuilder::finish() {
    return list_.finish(built_).release();
}

}  // namespace vak::py
