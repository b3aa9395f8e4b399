// Every native allocation of the module goes through mimalloc's own API.
// The process's malloc and operator new are left untouched.
#pragma once

#include <mimalloc.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <string>
#include <vector>

namespace vak {

template <class T>
struct MiAllocator {
    using value_type = T;

    MiAllocator() noexcept = default;
    template <class U>
    MiAllocator(const MiAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
        void* p = alignof(T) > 16 ? mi_malloc_aligned(n * sizeof(T), alignof(T))
                                  : mi_malloc(n * sizeof(T));
        if (p == nullptr) throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t) noexcept { mi_free(p); }

    template <class U>
    bool operator==(const MiAllocator<U>&) const noexcept { return true; }
};

template <class T>
using Vec = std::vector<T, MiAllocator<T>>;

using WordVec = Vec<std::uint32_t>;
using ByteVec = Vec<std::uint8_t>;
using MiString = std::basic_string<char, std::char_traits<char>, MiAllocator<char>>;

}  // namespace vak
