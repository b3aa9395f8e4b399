// The list of an encoding's words, built from the encoder's two-byte units
// (text/output_units.hpp): all at once, or batch by batch while the encoding is
// still under way. Items with equal values share one int object.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "common/heap_allocator.hpp"
#include "module/call_frame.hpp"
#include "module/result_builders.hpp"
#include "text/output_units.hpp"

namespace vak::py {

// One int object per distinct unit of a call, made on first use and shared by
// every item with that value: a table over all 65,536 units.
class UnitInts {
public:
    UnitInts() : table_(std::size_t{1} << 16, nullptr) {}
    UnitInts(const UnitInts&) = delete;
    UnitInts& operator=(const UnitInts&) = delete;
    ~UnitInts();

    // A borrowed reference, or nullptr with an exception set.
    PyObject* get(std::uint32_t unit) {
        PyObject* value = table_[unit];
        return value != nullptr ? value : make(unit);
    }
    // For loops that look up units themselves: the object of each unit made so
    // far (nullptr for the others; make() them), for the table's lifetime.
    PyObject* const* made() const noexcept { return table_.data(); }
    // The object of a unit not made yet: borrowed, or nullptr with an exception set.
    PyObject* make(std::uint32_t unit);

private:
    Vec<PyObject*> table_;
    Vec<std::uint32_t> made_;
};

// The list of all the units; a new reference, or nullptr with an exception set.
PyObject* build_text_list(const text::EncodedText& units);

// The list of units that arrive in batches, in order; its length is known only
// after the last. It is made with as many placeholders as a guess of the whole
// length, up to a limit (a list grown from nothing would be reallocated over and
// over), and grows by blocks beyond.
class TextListBuilder {
public:
    // Adds the items of the `count` units at `units`. `guessed_length` counts
    // only for the first batch. False with an exception set.
    bool add(const std::uint8_t* units, std::size_t count, std::size_t guessed_length);
    std::size_t size() const noexcept { return built_; }
    // The list; a new reference, or nullptr with an exception set.
    PyObject* finish();

private:
    GrowingList list_;
    UnitInts ints_;
    SignalPace pace_{1};
    std::size_t built_ = 0;
};

}  // namespace vak::py
