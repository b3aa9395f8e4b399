#include "common/block_pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <utility>

namespace vak::heap::block_pool {

namespace {

// Classes: eight per power of two, by the top three bits below the highest,
// from kLeastBytes up to kMostBytes. The allocator's own size classes are
// coarser, so blocks of one class have one usable size (and take() checks).
constexpr unsigned kLeastShift = 10;
constexpr unsigned kMostShift = 19;
constexpr unsigned kSubclasses = 8;
constexpr unsigned kClasses = (kMostShift - kLeastShift + 1) * kSubclasses;
static_assert(kLeastBytes == std::size_t{1} << kLeastShift);
static_assert(kMostBytes == std::size_t{1} << kMostShift);

// A class keeps as many blocks as kKeptBytes holds, up to this many.
constexpr std::size_t kMostBlocks = 4096;

constexpr std::size_t capacity_of(unsigned index) {
    const std::size_t fit = kKeptBytes >> (kLeastShift + index / kSubclasses);
    return fit < kMostBlocks ? fit : kMostBlocks;
}

struct Kept {
    void* block;
    std::size_t usable;
};

// The blocks of one class, a stack: the last freed is the first reused (the
// warmest, and most likely of the same use as the next request).
struct SizeClass {
    std::atomic_flag busy = ATOMIC_FLAG_INIT;
    std::size_t count = 0;
    // One per request of the class (served here or not), spent by keeping a block:
    // blocks made some other way (zeroed, aligned) and freed here are kept only
    // as far as requests of their size come, never piling up for none.
    std::size_t credits = 0;
    Kept* blocks = nullptr;  // capacity_of(its index) slots
};

template <unsigned Index>
struct Slots {
    static inline Kept storage[capacity_of(Index)];
};

template <unsigned... Indices>
void wire(SizeClass* classes, std::integer_sequence<unsigned, Indices...>) noexcept {
    ((classes[Indices].blocks = Slots<Indices>::storage), ...);
}

struct Pool {
    SizeClass classes[kClasses];
    std::atomic<std::size_t> kept_bytes{0};
    Pool() noexcept { wire(classes, std::make_integer_sequence<unsigned, kClasses>{}); }
};

// Made when the module is loaded and never destroyed: blocks may be freed into
// it while the process exits.
alignas(Pool) unsigned char g_pool_storage[sizeof(Pool)];

Pool& pool() noexcept {
    return *std::launder(reinterpret_cast<Pool*>(g_pool_storage));
}

void hold(SizeClass& size_class) noexcept {
    while (size_class.busy.test_and_set(std::memory_order_acquire)) sched_yield();
}

void unhold(SizeClass& size_class) noexcept {
    size_class.busy.clear(std::memory_order_release);
}

// fork() copies only the calling thread: a class held by another thread at that
// moment would stay held in the child. Every class is taken around fork().
void hold_all() noexcept {
    for (SizeClass& size_class : pool().classes) hold(size_class);
}

void unhold_all() noexcept {
    for (SizeClass& size_class : pool().classes) unhold(size_class);
}

int make_pool() noexcept {
    new (g_pool_storage) Pool();
    return ::pthread_atfork(&hold_all, &unhold_all, &unhold_all);
}

[[maybe_unused]] const int g_pool_made = make_pool();

// The class of a usable size in [kLeastBytes, kMostBytes].
unsigned class_of(std::size_t usable) noexcept {
    const unsigned shift =
        63u - static_cast<unsigned>(__builtin_clzll(static_cast<unsigned long long>(usable)));
    const auto sub = static_cast<unsigned>(usable >> (shift - 3)) & (kSubclasses - 1);
    return (shift - kLeastShift) * kSubclasses + sub;
}

}  // namespace

void* take(std::size_t bytes, std::size_t usable) noexcept {
    if (usable < kLeastBytes || usable > kMostBytes) return nullptr;
    SizeClass& size_class = pool().classes[class_of(usable)];
    hold(size_class);
    ++size_class.credits;
    if (size_class.count == 0 || size_class.blocks[size_class.count - 1].usable < bytes) {
        unhold(size_class);
        return nullptr;
    }
    const Kept kept = size_class.blocks[--size_class.count];
    unhold(size_class);
    pool().kept_bytes.fetch_sub(kept.usable, std::memory_order_relaxed);
    return kept.block;
}

bool keep(void* block, std::size_t usable) noexcept {
    if (usable < kLeastBytes || usable > kMostBytes) return false;
    const unsigned index = class_of(usable);
    SizeClass& size_class = pool().classes[index];
    hold(size_class);
    if (size_class.credits == 0) {
        unhold(size_class);
        return false;
    }
    --size_class.credits;
    bool kept = false;
    if (size_class.count < capacity_of(index)) {
        if (pool().kept_bytes.fetch_add(usable, std::memory_order_relaxed) + usable <= kKeptBytes) {
            size_class.blocks[size_class.count++] = {block, usable};
            kept = true;
        } else {
            pool().kept_bytes.fetch_sub(usable, std::memory_order_relaxed);
        }
    }
    unhold(size_class);
    return kept;
}

bool drain(void (*release)(void*)) noexcept {
    bool any = false;
    for (SizeClass& size_class : pool().classes) {
        for (;;) {
            hold(size_class);
            if (size_class.count == 0) {
                unhold(size_class);
                break;
            }
            const Kept kept = size_class.blocks[--size_class.count];
            unhold(size_class);
            pool().kept_bytes.fetch_sub(kept.usable, std::memory_order_relaxed);
            release(kept.block);
            any = true;
        }
    }
    return any;
}

}  // namespace vak::heap::block_pool
