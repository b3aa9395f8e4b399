// STL allocators and containers over the module's heap (common/heap.hpp):
// mimalloc's own API in release builds, the C allocator in the checked builds
// of the sanitizers and fuzzers. The process's malloc and operator new are
// never replaced. (Python objects come from the interpreter's allocator.)
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
struct HeapAllocator {
    using value_type = T;

    HeapAllocator() noexcept = default;
    template <class U>
    HeapAllocator(const HeapAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
        void* p = alignof(T) > 16 ? heap::allocate_aligned(n * sizeof(T), alignof(T))
                                  : heap::allocate(n * sizeof(T));
        if (p == nullptr) throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t n) noexcept {
        heap::note_freed(n * sizeof(T));  // first: nothing about p is read after the free
        heap::release(p);
    }

    template <class U>
    bool operator==(const HeapAllocator<U>&) const noexcept {
        return true;
    }
};

// As HeapAllocator, but resize() leaves new elements default-initialised (for
// integers: unwritten), for arrays that are filled right after they grow.
template <class T>
struct HeapUninitAllocator : HeapAllocator<T> {
    template <class U>
    struct rebind {
        using other = HeapUninitAllocator<U>;
    };

    HeapUninitAllocator() noexcept = default;
    template <class U>
    HeapUninitAllocator(const HeapUninitAllocator<U>&) noexcept {}

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
using Vec = std::vector<T, HeapAllocator<T>>;

// Word arrays are written right after they are sized (inputs copied in, scan
// results appended to), so sizing them writes nothing.
using WordVec = std::vector<std::uint32_t, HeapUninitAllocator<std::uint32_t>>;
using ByteVec = Vec<std::uint8_t>;
// The word and span arrays of scan results, handed to NativeBuffer objects.
using PayloadVec = WordVec;
using HeapString = std::basic_string<char, std::char_traits<char>, HeapAllocator<char>>;

}  // namespace vak
