// The process-wide registry of normal words: a sorted, duplicate-free vector.
#pragma once

#include <cstdint>

#include "common/heap_allocator.hpp"

namespace vak::registry {

// Makes `words` the contents (they must be sorted ascending without repeats, see
// word_sort.hpp) and hands the previous contents back in `words`, to be freed
// outside the registry's lock. Creates the registry on first use; returns the
// new size. Throws std::bad_alloc only when the registry cannot be created, and
// then changes nothing.
std::uint64_t replace_normal_words(WordVec& words);

// The registry's size; 0 (without creating it) before the first replacement.
std::uint64_t normal_word_count();

// Empties the registry if it exists, keeping its storage (for a new interpreter,
// whose code has configured nothing yet). Never creates it.
void forget_normal_words() noexcept;

}  // namespace vak::registry
