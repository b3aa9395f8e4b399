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

#include <cstddef>
#include <cstdint>

#include "common/heap_allocator.hpp"

namespace vak::py {

template <class T>
class IntMemo {
public:
    // A memo is worth its table only for long lists; a disabled one finds nothing.
    explicit IntMemo(bool enabled) : slots_(enabled ? kSlots : 0) {}

    // Sets `value` when `obj` was remembered.
    bool find(PyObject* obj, T& value) const noexcept {
        if (slots_.empty()) return false;
        const Slot& slot = slots_[slot_of(obj)];
        if (slot.object != obj) return false;
        value = slot.value;
        return true;
    }
    // `obj` must be an exact int whose value is `value`.
    void remember(PyObject* obj, T value) noexcept {
        if (!slots_.empty()) slots_[slot_of(obj)] = Slot{obj, value};
    }
    void forget() noexcept {
        for (Slot& slot : slots_) slot.object = nullptr;
    }

private:
    struct Slot {
        PyObject* object = nullptr;
        T value{};
    };
    static constexpr std::size_t kSlots = 512;
    // Small ints take 32 bytes each, so neighbours fall into different slots.
    static std::size_t slot_of(PyObject* obj) noexcept {
        return (reinterpret_cast<std::uintptr_t>(obj) >> 5) & (kSlots - 1);
    }

    Vec<Slot> slots_;  // off the stack: 8 KiB
};

}  // namespace vak::py
