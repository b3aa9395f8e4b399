// Both steps of the stream decoder in one call, the picture in a vector. The
// module gives the decoder memory of its own instead.
//
// Used only by the fuzzers and probes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/heap_allocator.hpp"
#include "image/image_format.hpp"
#include "image/quadtree_decoder.hpp"

namespace vak::image {

struct DecodeResult {
    const char* error = nullptr;  // the full ValueError message, or nullptr on success
    ByteVec pixels;               // width * height * 3 bytes
    ImageMetadata metadata;       // threshold_tenths holds metadata field 7
};

inline DecodeResult decode_quadtree(const std::uint32_t* words, std::size_t count) {
    DecodeResult result;
    StreamDecoder decoder(words, count);
    result.error = decoder.read_metadata();
    if (result.error != nullptr) return result;
    result.metadata = decoder.metadata();
    result.pixels.resize(decoder.pixel_bytes());
    result.error = decoder.read_image(result.pixels.data());
    if (result.error != nullptr) result.pixels = ByteVec();  // no partial image
    return result;
}

}  // namespace vak::image
