// The module's raw allocation entry points: mimalloc's API.
//
// A checked build (VAK_CHECKED_HEAP, set by the sanitizer and fuzzing builds)
// takes the same memory from the C allocator instead. AddressSanitizer knows the
// bounds and lifetime only of blocks from its own malloc; overruns and uses
// after free inside mimalloc's blocks would go unnoticed.
#pragma once

#include <cstddef>
#include <cstdlib>

#include "common/block_pool.hpp"
#include "common/memory_ceiling.hpp"

#ifndef VAK_CHECKED_HEAP
#include <mimalloc.h>
#endif

namespace vak::heap {

#ifndef VAK_CHECKED_HEAP
namespace detail {
// Blocks kept for reuse are the first to go when the system has no more: a
// request that fails empties the pool and is made once more.
template <class Request>
void* with_pool_given_back(Request request) noexcept {
    void* memory = request();
    if (memory == nullptr && block_pool::drain(&mi_free)) memory = request();
    return memory;
}
}  // namespace detail
#endif

// nullptr when the memory cannot be obtained.
inline void* allocate(std::size_t bytes) noexcept {
    if (!within_ceiling(bytes)) return nullptr;
#ifdef VAK_CHECKED_HEAP
    return std::malloc(bytes == 0 ? 1 : bytes);
#else
    if (block_pool::serves(bytes)) {
        if (void* block = block_pool::take(bytes, mi_good_size(bytes))) return block;
    }
    return detail::with_pool_given_back([bytes] { return mi_malloc(bytes); });
#endif
}

// `count` zeroed elements of `size` bytes; nullptr when the memory cannot be
// obtained (or the product overflows). Large zeroed blocks come straight from the
// operating system, so pages that stay untouched cost nothing.
inline void* allocate_zeroed(std::size_t count, std::size_t size) noexcept {
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(count, size, &bytes) || !within_ceiling(bytes)) return nullptr;
#ifdef VAK_CHECKED_HEAP
    return std::calloc(count == 0 ? 1 : count, size == 0 ? 1 : size);
#else
    return detail::with_pool_given_back([count, size] { return mi_calloc(count, size); });
#endif
}

// `align` is a power of two.
inline void* allocate_aligned(std::size_t bytes, std::size_t align) noexcept {
    if (!within_ceiling(bytes)) return nullptr;
#ifdef VAK_CHECKED_HEAP
    void* memory = nullptr;
    if (align < sizeof(void*)) align = sizeof(void*);
    return ::posix_memalign(&memory, align, bytes == 0 ? 1 : bytes) == 0 ? memory : nullptr;
#else
    return detail::with_pool_given_back([bytes, align] { return mi_malloc_aligned(bytes, align); });
#endif
}

inline void release(void* memory) noexcept {
#ifdef VAK_CHECKED_HEAP
    std::free(memory);
#else
    if (memory != nullptr) {
        // Only a block of exactly a size class of the allocator (not the tail of
        // an aligned block, not a block the allocator rounds to its pages) can be
        // found again by the size of a request.
        const std::size_t usable = mi_usable_size(memory);
        if (block_pool::serves(usable) && mi_good_size(usable) == usable &&
            block_pool::keep(memory, usable)) {
            return;
        }
    }
    mi_free(memory);
#endif
}

// Whether the allocator was told to live in memory reserved up front
// (MIMALLOC_DISALLOW_OS_ALLOC): it then takes nothing more from the system.
inline bool fixed_reservation() noexcept {
#ifdef VAK_CHECKED_HEAP
    return false;
#else
    return mi_option_is_enabled(mi_option_disallow_os_alloc);
#endif
}

// Transparent huge pages make the first touch of fresh memory several times
// slower where the host backs a virtual machine's memory lazily (seen on the
// 2-core development VMs: a first 10 M-word scan took 0.46 s instead of 0.09 s),
// so the allocator takes ordinary pages unless MIMALLOC_ALLOW_THP says otherwise.
// Called before the module's first allocation.
inline void prefer_small_pages() noexcept {
#ifndef VAK_CHECKED_HEAP
    if (std::getenv("MIMALLOC_ALLOW_THP") == nullptr) mi_option_disable(mi_option_allow_thp);
#endif
}

// Returns every freed page to the operating system now.
inline void purge_now() noexcept {
#ifndef VAK_CHECKED_HEAP
    block_pool::drain(&mi_free);
    mi_collect(true);
#endif
}

// Takes back into this thread's heap what other threads freed.
inline void collect() noexcept {
#ifndef VAK_CHECKED_HEAP
    mi_collect(false);
#endif
}

}  // namespace vak::heap
