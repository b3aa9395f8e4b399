// The encoder's output: two bytes per word, in text order. A byte-pair word is
// stored as its two bytes (first, second), so the UTF-8 of a run is copied
// straight in; a direct word d is stored as (0xF8 | d >> 8, d & 0xFF), and no
// byte of UTF-8 is 0xF8 or above, so the two kinds never meet. An odd last
// byte of a run is followed by 0x00.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

#include "common/heap.hpp"
#include "common/heap_purger.hpp"

namespace vak::text {

inline constexpr std::uint8_t kDirectTag = 0xF8;
inline constexpr std::uint32_t kBytePairBase = 0x40000;

// The word of the unit whose bytes are (first, second); `unit` is first << 8 | second.
constexpr std::uint32_t word_of_unit(std::uint32_t unit) noexcept {
    return unit >= (std::uint32_t{kDirectTag} << 8) ? unit & 0x7FF : kBytePairBase | unit;
}

// The most words that one character starting with UTF-8 byte `byte` can add
// to the output (0 for continuation bytes): one per direct character and half
// the bytes of its decomposition, rounded up, otherwise. Piecewise constant so
// that summing it over the text vectorises; the generated tables check at
// compile time that it covers every character of its lead byte.
constexpr unsigned lead_word_bound(std::uint8_t byte) noexcept {
    return (byte < 0x80) + 3u * (byte >= 0xC0) + 2u * (byte >= 0xE0) - (byte >= 0xE1) -
           2u * (byte >= 0xE4) + 3u * (byte >= 0xEA) - 3u * (byte >= 0xEE) + (byte >= 0xEF) +
           3u * (byte >= 0xF0) - 4u * (byte >= 0xF1);
}

// Bytes written past the last unit by fixed-size stores (at most 64 at once);
// allocated, never read.
inline constexpr std::size_t kUnitSlack = 128;

// The owned output of one encoding: `words` units of two bytes.
class EncodedText {
public:
    EncodedText() noexcept = default;
    // Room for `max_words` units (plus slack), uninitialised. Throws std::bad_alloc.
    explicit EncodedText(std::size_t max_words) {
        if (max_words > (SIZE_MAX - kUnitSlack) / 2) throw std::bad_alloc();
        capacity_ = 2 * max_words + kUnitSlack;
        bytes_ = static_cast<std::uint8_t*>(heap::allocate(capacity_));
        if (bytes_ == nullptr) throw std::bad_alloc();
    }
    EncodedText(EncodedText&& other) noexcept
        : bytes_(std::exchange(other.bytes_, nullptr)),
          capacity_(std::exchange(other.capacity_, 0)),
          words_(std::exchange(other.words_, 0)) {}
    EncodedText& operator=(EncodedText&& other) noexcept {
        if (this != &other) {
            release();
            bytes_ = std::exchange(other.bytes_, nullptr);
            capacity_ = std::exchange(other.capacity_, 0);
            words_ = std::exchange(other.words_, 0);
        }
        return *this;
    }
    EncodedText(const EncodedText&) = delete;
    EncodedText& operator=(const EncodedText&) = delete;
    ~EncodedText() { release(); }

    std::size_t size() const noexcept { return words_; }
    // Unit i as first << 8 | second.
    std::uint32_t unit(std::size_t i) const noexcept {
        return std::uint32_t{bytes_[2 * i]} << 8 | bytes_[2 * i + 1];
    }
    std::uint32_t word(std::size_t i) const noexcept { return word_of_unit(unit(i)); }
    const std::uint8_t* bytes() const noexcept { return bytes_; }

    // For the encoder: where units go, and how many were written.
    std::uint8_t* data() noexcept { return bytes_; }
    void set_size(std::size_t words) noexcept { words_ = words; }

private:
    void release() noexcept {
        if (bytes_ == nullptr) return;
        heap::note_freed(capacity_);  // as for vectors
        heap::release(bytes_);
    }

    std::uint8_t* bytes_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t words_ = 0;
};

}  // namespace vak::text
