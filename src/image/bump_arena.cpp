#include "image/bump_arena.hpp"

#include <new>

#include "common/heap.hpp"
#include "common/heap_purger.hpp"
#include "common/invariant.hpp"

#ifdef VAK_CHECKED_HEAP
#include <sanitizer/asan_interface.h>
#endif

namespace vak::image {

struct BumpArena::Block {
    Block* previous;
    std::size_t capacity;  // payload bytes after the header
};

namespace {

constexpr std::size_t kHeaderBytes = (sizeof(void*) * 2 + 15) & ~std::size_t{15};
constexpr std::size_t kMinBlockPayload = 4096;

std::byte* payload_of(void* block) {
    return static_cast<std::byte*>(block) + kHeaderBytes;
}

#ifdef VAK_CHECKED_HEAP
// A checked build keeps the unused payload and a gap after every allocation
// poisoned, so that AddressSanitizer catches overruns between the pieces of a block.
constexpr std::size_t kRedzoneBytes = 16;
void poison(void* start, std::size_t bytes) {
    ASAN_POISON_MEMORY_REGION(start, bytes);
}
void unpoison(void* start, std::size_t bytes) {
    ASAN_UNPOISON_MEMORY_REGION(start, bytes);
}
#else
constexpr std::size_t kRedzoneBytes = 0;
void poison(void*, std::size_t) {}
void unpoison(void*, std::size_t) {}
#endif

}  // namespace

BumpArena::BumpArena(std::size_t first_block_bytes) {
    static_assert(sizeof(Block) <= kHeaderBytes);
    add_block(first_block_bytes);
}

BumpArena::~BumpArena() {
    while (head_ != nullptr) {
        Block* previous = head_->previous;
        unpoison(payload_of(head_), head_->capacity);
        const std::size_t bytes = kHeaderBytes + head_->capacity;
        heap::release(head_);
        heap::note_freed(bytes);
        head_ = previous;
    }
}

void BumpArena::add_block(std::size_t min_payload) {
    std::size_t payload = min_payload < kMinBlockPayload ? kMinBlockPayload : min_payload;
    // Grow geometrically so that many small requests cost few blocks.
    if (head_ != nullptr && payload < head_->capacity * 2) payload = head_->capacity * 2;
    if (payload > static_cast<std::size_t>(-1) - kHeaderBytes) throw std::bad_alloc();
    void* memory = heap::allocate_aligned(kHeaderBytes + payload, 16);
    if (memory == nullptr) throw std::bad_alloc();
    head_ = new (memory) Block{head_, payload};
    poison(payload_of(head_), payload);
    used_ = 0;
}

void* BumpArena::allocate(std::size_t bytes, std::size_t align) {
    VAK_EXPECT(align != 0 && (align & (align - 1)) == 0 && align <= 16,
               "arena alignment is a power of two up to 16");
    std::size_t start = (used_ + align - 1) & ~(align - 1);
    if (start > head_->capacity || bytes > head_->capacity - start) {
        if (bytes > static_cast<std::size_t>(-1) - align - kRedzoneBytes) throw std::bad_alloc();
        add_block(bytes + align + kRedzoneBytes);
        start = 0;
    }
    used_ = start + bytes + kRedzoneBytes;
    unpoison(payload_of(head_) + start, bytes);
    return payload_of(head_) + start;
}

}  // namespace vak::image
