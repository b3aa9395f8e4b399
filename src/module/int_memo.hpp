// Values of exact int objects already converted, found again by address.
//
// A long list often holds the same int objects many times over (an encoder's
// words share one object per value, [w] * n shares one object), and reading an
// int's value through the API costs several calls. An exact int cannot change
// its value, and while no Python code runs none of the list's objects can be
// freed and its address reused; so the memo holds between two points where
// Python code may run, and the caller forgets it at each of them.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace vak::py {

template <class T>
class IntMemo {
public:
    // Sets `value` when `obj` was remembered.
    bool find(PyObject* obj, T& value) const noexcept {
        const std::size_t slot = slot_of(obj);
        if (objects_[slot] != obj) return false;
        value = values_[slot];
        return true;
    }
    // `obj` must be an exact int whose value is `value`.
    void remember(PyObject* obj, T value) noexcept {
        const std::size_t slot = slot_of(obj);
        objects_[slot] = obj;
        values_[slot] = value;
    }
    void forget() noexcept { objects_.fill(nullptr); }

private:
    static constexpr std::size_t kSlots = 512;
    // Small ints take 32 bytes each, so neighbours fall into different slots.
    static std::size_t slot_of(PyObject* obj) noexcept {
        return (reinterpret_cast<std::uintptr_t>(obj) >> 5) & (kSlots - 1);
    }

    std::array<PyObject*, kSlots> objects_{};
    std::array<T, kSlots> values_{};
};

}  // namespace vak::py
