// Keeps recently freed mid-sized blocks for the next request of their size.
//
// The allocator gives each thread pages of its own. A block made on one thread
// and freed on another (a worker's scan result dropped by Python on the calling
// thread, a stream copied by the caller and freed by a worker once scanned)
// leaves its page abandoned; emptied, the page goes back to the shared arena,
// which hands the next request pages it has not touched for a while: a batch of
// 256 scans faulted in a few megabytes of fresh memory per call that way. Kept
// here, the block is reused warm by whichever thread asks next.
//
// Blocks of 1 KiB to 512 KiB are kept by size, the most recently freed first,
// up to kKeptBytes in all, until heap::purge_now() gives them all back (the heap's
// purger calls it once the module has been idle for a moment).
#pragma once

#include <cstddef>

namespace vak::heap::block_pool {

inline constexpr std::size_t kLeastBytes = std::size_t{1} << 10;
inline constexpr std::size_t kMostBytes = std::size_t{1} << 19;
inline constexpr std::size_t kKeptBytes = std::size_t{64} << 20;

// Whether requests of `bytes` are served here.
inline bool serves(std::size_t bytes) noexcept {
    return bytes >= kLeastBytes && bytes <= kMostBytes;
}

// A kept block of at least `bytes` (serves(bytes)), or nullptr; `usable` is the
// usable size of the block the allocator would make for `bytes`.
void* take(std::size_t bytes, std::size_t usable) noexcept;

// Keeps a block whose usable size is `usable`, which must be the usable size
// the allocator gives every request it rounds up to it (so that a later
// request finds the block by that size); false when it is not kept (out of
// range, the pool full, or more blocks of the size freed than were asked for
// through take()): the caller frees it then.
bool keep(void* block, std::size_t usable) noexcept;

// Hands every kept block to `release`; false when none was kept.
bool drain(void (*release)(void*)) noexcept;

}  // namespace vak::heap::block_pool
