// The one way the native layers keep process-wide objects: made on first use,
// from the module's heap, and never destroyed (threads may still use them while
// the process exits). Objects of the interpreter (the module, the NativeBuffer
// type) are guarded by the interpreter lock instead and kept in the module layer.
#pragma once

#include <atomic>
#include <mutex>
#include <new>
#include <utility>

#include "common/heap.hpp"

namespace vak {

template <class T>
class ProcessWide {
public:
    // The object, made by `make()` (returning T*, see make_forever) on the first
    // call. If making it throws, nothing is kept and a later call tries again.
    template <class Make>
    T& get(Make&& make) {
        if (T* object = object_.load(std::memory_order_acquire)) return *object;
        std::call_once(once_, [&] { object_.store(std::forward<Make>(make)(), std::memory_order_release); });
        return *object_.load(std::memory_order_acquire);
    }

    // The object if it was made already, otherwise nullptr.
    T* peek() const noexcept { return object_.load(std::memory_order_acquire); }

private:
    std::once_flag once_;
    std::atomic<T*> object_{nullptr};
};

// A T that is never destroyed, from the module's heap; throws std::bad_alloc.
template <class T, class... Args>
T* make_forever(Args&&... args) {
    void* memory = heap::allocate_aligned(sizeof(T), alignof(T));
    if (memory == nullptr) throw std::bad_alloc();
    return new (memory) T(std::forward<Args>(args)...);
}

}  // namespace vak
