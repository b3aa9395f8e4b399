// Gives freed memory back to the operating system once the module has been idle
// for a moment. The allocator keeps freed pages for reuse and returns them only
// when some later allocation or collection comes along; a process that drops a
// large result and then does something else would keep them indefinitely.
#pragma once

#include <cstddef>

namespace vak::heap {

// Called after a large block was freed: about 300 ms after the last such call a
// short-lived thread asks the allocator to return every freed page at once.
void purge_soon() noexcept;

// Called for every freed block: asks for a purge once a large block or, in
// smaller blocks, as much memory in all has been freed since the last request.
void note_freed(std::size_t bytes) noexcept;

// Counts the purges run so far: threads whose heaps the purger cannot reach (the
// pool's workers) purge their own when it changes.
unsigned purge_generation() noexcept;

// Blocks of at least this many bytes (or smaller ones adding up to as many) ask
// for a purge when they are freed.
inline constexpr std::size_t kPurgeWorthyBytes = std::size_t{4} << 20;

}  // namespace vak::heap
