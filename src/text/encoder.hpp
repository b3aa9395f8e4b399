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

// As encode_text_units, into `out`, which has room for max_words(utf8, size)
// units plus kUnitSlack bytes (bytes past the units written may change).
// Returns the number of units written.
std::size_t encode_into(const std::uint8_t* utf8, std::size_t size, std::uint8_t* out);

// The first place from `from` on (before `end`) where the text can be cut so
// that its words are those of the part before the cut followed by those of the
// part after: just before a direct ASCII character. Such a character closes any
// run of bytes, and it is a starter, so canonical ordering moves nothing across
// it. `end` when there is none; a character boundary either way when `end` is one.
const std::uint8_t* next_cut(const std::uint8_t* from, const std::uint8_t* end) noexcept;

}  // namespace vak::text
