// Byte-pair packing: the UTF-8 bytes of consecutive non-direct code points
// collect in a pending run, which is packed two bytes to a word when a direct
// character or the end of the text closes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/mi_allocator.hpp"

namespace vak::text {

inline constexpr std::uint32_t kBytePairBase = 0x40000;
inline constexpr std::size_t kInitialRunCapacity = 8;

inline std::uint32_t byte_pair_word(std::uint8_t first, std::uint8_t second) noexcept {
    return kBytePairBase | (std::uint32_t{first} << 8) | second;
}

// Makes room for `extra` more words at once. Growth is geometric so that
// many appends beyond the initial capacity stay linear overall; capacity is
// reserved, never filled, so untouched room costs no memory traffic.
inline void reserve_more(WordVec& out, std::size_t extra) {
    const std::size_t needed = out.size() + extra;
    if (needed > out.capacity()) {
        const std::size_t doubled = out.capacity() * 2;
        out.reserve(needed > doubled ? needed : doubled);
    }
}

// The pending byte run. The storage's size is the run's capacity; the bytes
// in use are the first `length`, so appends write through a pointer without
// per-byte bookkeeping. Emptying keeps the capacity for reuse.
struct ByteRun {
    ByteVec storage = ByteVec(kInitialRunCapacity);
    std::size_t length = 0;

    bool empty() const noexcept { return length == 0; }

    // Room for `n` more bytes; returns where they go.
    std::uint8_t* room(std::size_t n) {
        if (storage.size() - length < n) grow(n);
        return storage.data() + length;
    }

    void append(const std::uint8_t* bytes, std::size_t n) {
        std::memcpy(room(n), bytes, n);
        length += n;
    }

    // Appends the UTF-8 encoding (1 to 4 bytes) of a Unicode scalar value.
    void append_utf8(std::uint32_t cp) {
        std::uint8_t* p = room(4);
        if (cp < 0x80) {
            p[0] = static_cast<std::uint8_t>(cp);
            length += 1;
        } else if (cp < 0x800) {
            p[0] = static_cast<std::uint8_t>(0xC0 | (cp >> 6));
            p[1] = static_cast<std::uint8_t>(0x80 | (cp & 0x3F));
            length += 2;
        } else if (cp < 0x10000) {
            p[0] = static_cast<std::uint8_t>(0xE0 | (cp >> 12));
            p[1] = static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F));
            p[2] = static_cast<std::uint8_t>(0x80 | (cp & 0x3F));
            length += 3;
        } else {
            p[0] = static_cast<std::uint8_t>(0xF0 | (cp >> 18));
            p[1] = static_cast<std::uint8_t>(0x80 | ((cp >> 12) & 0x3F));
            p[2] = static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F));
            p[3] = static_cast<std::uint8_t>(0x80 | (cp & 0x3F));
            length += 4;
        }
    }

    // Packs the run into ceil(length / 2) words appended to `out` (an odd last
    // byte is paired with 0x00) and empties it. No-op when empty.
    void flush(WordVec& out) {
        if (length != 0) pack_into(out);
    }

private:
    void grow(std::size_t n);
    void pack_into(WordVec& out);
};

}  // namespace vak::text
