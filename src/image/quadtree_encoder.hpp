// The quadtree encoder: an RGB image becomes a canonical image word stream.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/mi_allocator.hpp"
#include "image/encoded_words.hpp"
#include "image/image_format.hpp"

namespace vak::image {

// The root size field holds at most 4095, so the largest root the encoder can
// describe is 2048: larger images are refused instead of written wrongly.
inline constexpr std::uint32_t kMaxEncodableSide = 2048;

struct EncodeResult {
    const char* error = nullptr;  // the ValueError message, or nullptr on success
    EncodedWords words;
    ImageMetadata metadata;
};

// `pixels`: rows first, three channel bytes per pixel. The encoder keeps them as
// its working image: blocks are summed from them, and single-pixel leaves read them.
// Runs without the interpreter lock; throws std::bad_alloc when memory runs out.
EncodeResult encode_quadtree(ByteVec pixels, std::uint32_t width, std::uint32_t height,
                             std::uint8_t bit_depth, double threshold);

// The root size: the smallest power of two at least max(width, height), 1 for 0 and 1.
std::uint64_t root_size_for(std::uint32_t width, std::uint32_t height) noexcept;

// The threshold as the encoder compares it: rounded to single precision.
double to_single_precision(double threshold) noexcept;

}  // namespace vak::image
