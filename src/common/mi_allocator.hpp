// Every native allocation of the module goes through mimalloc's own API
// (common/heap.hpp). The process's malloc and operator new are left untouched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/heap.hpp"
#include "common/heap_purger.hpp"

namespace vak {

template <class T>
struct MiAllocator {
    using value_type = T;

    MiAllocator() noexcept = default;
    template <class U>
    MiAllocator(const MiAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
        void* p = alignof(T) > 16 ? heap::allocate_aligned(n * sizeof(T), alignof(T))
                                  : heap::allocate(n * sizeof(T));
        if (p == nullptr) throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if (n >= heap::kPurgeWorthyBytes / sizeof(T)) heap::purge_soon();
        heap::release(p);
    }

    template <class U>
    bool operator==(const MiAllocator<U>&) const noexcept { return true; }
};

// As MiAllocator, but resize() leaves new elements default-initialised (for
// integers: unwritten), for arrays that are filled right after they grow.
template <class T>
struct MiUninitAllocator : MiAllocator<T> {
    template <class U>
    struct rebind {
        using other = MiUninitAllocator<U>;
    };

    MiUninitAllocator() noexcept = default;
    template <class U>
    MiUninitAllocator(const MiUninitAllocator<U>&) noexcept {}

    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

template <class T>
using Vec = std::vector<T, MiAllocator<T>>;

using WordVec = Vec<std::uint32_t>;
using ByteVec = Vec<std::uint8_t>;
// The word and span arrays of scan results, handed to NativeBuffer objects.
using PayloadVec = std::vector<std::uint32_t, MiUninitAllocator<std::uint32_t>>;
using MiString = std::basic_string<char, std::char_traits<char>, MiAllocator<char>>;

}  // namespace vak
