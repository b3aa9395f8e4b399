// The text encoder: UTF-8 text in, text words out. The text is brought into
// canonical decomposition (NFD); each direct character becomes the word equal
// to its code point, and the UTF-8 bytes of everything else are packed two to
// a word (0x40000 + first * 256 + second), a run spanning characters until a
// direct character or the end closes it. No markers, lengths or terminators.
//
// Used by the module (text/text_words.hpp has the words as 32-bit values for
// the fuzzers and benches).
#pragma once

#include <cstddef>
#include <cstdint>

#include "text/output_units.hpp"

namespace vak::text {

// At least as many words as the text encodes to, and seldom many more: the
// sum of lead_word_bound over its bytes.
std::size_t max_words(const std::uint8_t* utf8, std::size_t size) noexcept;

// `utf8` must be well-formed UTF-8 without surrogates (a strict encoding of a
// str); malformed input is an invariant failure. The output is sized once, by
// max_words. Polls vak::interrupt every 64 KiB of input. Throws std::bad_alloc
// (and interrupt::Interrupted).
EncodedText encode_text_units(const std::uint8_t* utf8, std::size_t size);

}  // namespace vak::text
