// The text encoder's words as 32-bit values in one vector. The module builds
// its list straight from the encoder's units instead.
//
// Used only by the fuzzers and benches.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/heap_allocator.hpp"
#include "text/encoder.hpp"

namespace vak::text {

inline WordVec encode_text(const std::uint8_t* utf8, std::size_t size) {
    const EncodedText encoded = encode_text_units(utf8, size);
    WordVec words(encoded.size());
    for (std::size_t i = 0; i < words.size(); ++i) words[i] = encoded.word(i);
    return words;
}

}  // namespace vak::text
