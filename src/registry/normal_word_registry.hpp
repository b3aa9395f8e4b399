// The process-wide registry of normal words: a sorted, duplicate-free vector.
#pragma once

#include <cstdint>

#include "common/heap_allocator.hpp"

namespace vak::registry {

// Replaces the contents with the distinct values of `words`; returns the new size.
// Creates the registry on first use. Throws std::bad_alloc if the copy cannot grow.
std::uint64_t replace_normal_words(const WordVec& words);

// The registry's size; 0 (without creating it) before the first replacement.
std::uint64_t normal_word_count();

// Empties the registry if it exists, keeping its storage (for a new interpreter,
// whose code has configured nothing yet). Never creates it.
void forget_normal_words() noexcept;

}  // namespace vak::registry
