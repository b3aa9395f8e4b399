// A bump arena: allocations are carved from large heap blocks and are never
// freed one by one; every block goes back at once when the arena is destroyed.
// It suits working memory whose pieces all die together at the end of a call.
//
// Used by the module.
#pragma once

#include <cstddef>

namespace vak::image {

class BumpArena {
public:
    // The first block holds at least `first_block_bytes`; later blocks grow geometrically.
    explicit BumpArena(std::size_t first_block_bytes);
    ~BumpArena();
    BumpArena(const BumpArena&) = delete;
    BumpArena& operator=(const BumpArena&) = delete;

    // Uninitialised memory for `bytes` bytes at `align` (a power of two at most
    // 16). Throws std::bad_alloc when memory cannot be obtained.
    void* allocate(std::size_t bytes, std::size_t align);

private:
    struct Block;
    void add_block(std::size_t min_payload);

    Block* head_ = nullptr;  // the current block; older blocks hang off `previous`
    std::size_t used_ = 0;   // bytes used in the current block's payload
};

}  // namespace vak::image
