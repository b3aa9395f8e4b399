// Sorting a set of words for the registry: ascending, duplicates removed.
#pragma once

#include "common/heap_allocator.hpp"

namespace vak::registry {

// Sorts `words` ascending and removes repeated values. Large sets take a radix
// sort (three passes of 11 bits through a buffer of the same size), which polls
// vak::interrupt as it goes; throws std::bad_alloc or interrupt::Interrupted,
// leaving `words` a permutation of what it was.
void sort_distinct(WordVec& words);

}  // namespace vak::registry
