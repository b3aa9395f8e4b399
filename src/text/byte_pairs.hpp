// Byte-pair packing: the UTF-8 bytes of consecutive non-direct code points
// collect in a pending run, which is packed two bytes to a word when a direct
// character or the end of the text closes it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/mi_allocator.hpp"

namespace vak::text {

inline constexpr std::uint32_t kBytePairBase = 0x40000;
inline constexpr std::size_t kInitialRunCapacity = 8;

inline std::uint32_t byte_pair_word(std::uint8_t first, std::uint8_t second) noexcept {
    return kBytePairBase | (std::uint32_t{first} << 8) | second;
}

// Appends the UTF-8 encoding (1 to 4 bytes) of a Unicode scalar value.
inline void append_utf8(ByteVec& run, std::uint32_t cp) {
    if (cp < 0x80) {
        run.push_back(static_cast<std::uint8_t>(cp));
    } else if (cp < 0x800) {
        const std::uint8_t bytes[] = {static_cast<std::uint8_t>(0xC0 | (cp >> 6)),
                                      static_cast<std::uint8_t>(0x80 | (cp & 0x3F))};
        run.insert(run.end(), bytes, bytes + 2);
    } else if (cp < 0x10000) {
        const std::uint8_t bytes[] = {static_cast<std::uint8_t>(0xE0 | (cp >> 12)),
                                      static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F)),
                                      static_cast<std::uint8_t>(0x80 | (cp & 0x3F))};
        run.insert(run.end(), bytes, bytes + 3);
    } else {
        const std::uint8_t bytes[] = {static_cast<std::uint8_t>(0xF0 | (cp >> 18)),
                                      static_cast<std::uint8_t>(0x80 | ((cp >> 12) & 0x3F)),
                                      static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F)),
                                      static_cast<std::uint8_t>(0x80 | (cp & 0x3F))};
        run.insert(run.end(), bytes, bytes + 4);
    }
}

// Makes room for `extra` more words, growing geometrically so that many small
// appends beyond the initial capacity stay linear overall.
inline void reserve_more(WordVec& out, std::size_t extra) {
    const std::size_t needed = out.size() + extra;
    if (needed > out.capacity()) {
        const std::size_t doubled = out.capacity() * 2;
        out.reserve(needed > doubled ? needed : doubled);
    }
}

// A new, empty pending run with its initial capacity.
ByteVec new_byte_run();

// Packs the pending run into ceil(n / 2) words (an odd last byte is paired
// with 0x00) and empties it, keeping its capacity.
void flush_byte_run(ByteVec& run, WordVec& out);

}  // namespace vak::text
