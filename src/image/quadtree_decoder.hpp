// The enhanced stream decoder: one pass over image words that checks the
// stream grammar and renders the picture.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/mi_allocator.hpp"
#include "image/image_format.hpp"

namespace vak::image {

struct DecodeResult {
    const char* error = nullptr;  // the full ValueError message, or nullptr on success
    ByteVec pixels;               // width * height * 3 bytes
    ImageMetadata metadata;       // threshold_tenths holds metadata field 7
};

// Runs without the interpreter lock; throws std::bad_alloc when memory runs out.
// Whatever the words, memory stays bounded by the image (at most 4095 x 4095 x 3
// bytes), a path of at most 8206 entries and, for streams that paint pixels over
// and over, a list of at most 12 bytes per PAINT with skip links of 2 bytes per
// pixel (see PaintCanvas); work stays bounded by the words plus a small multiple
// of the image's area, however often the stream paints the same pixels.
DecodeResult decode_quadtree(const std::uint32_t* words, std::size_t count);

}  // namespace vak::image
