// The enhanced stream decoder: one pass over image words that checks the
// stream grammar and renders the picture.
//
// Whatever the words, memory stays bounded by the image (at most 4095 x 4095 x 3
// bytes), a path of at most 8206 entries and, for streams that paint pixels over
// and over, a list of at most 12 bytes per PAINT with skip links of 2 bytes per
// pixel (see PaintCanvas); work stays bounded by the words plus a small multiple
// of the image's area, however often the stream paints the same pixels.
// Runs without the interpreter lock; throws std::bad_alloc when memory runs out.
//
// Used by the module (image/decoded_picture.hpp has both steps in one call for
// the fuzzers and probes).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "image/image_format.hpp"
#include "image/paint_canvas.hpp"
#include "image/traversal_path.hpp"

namespace vak::image {

// The pass in two steps, so that the caller can provide the picture's memory
// once the metadata block has given its size. The words must outlive the decoder.
class StreamDecoder {
public:
    StreamDecoder(const std::uint32_t* words, std::size_t count) noexcept
        : words_(words), count_(count) {}

    // Reads up to the end of the metadata block. Returns the full ValueError
    // message of the stream, or nullptr when the picture follows: metadata() and
    // pixel_bytes() are then set.
    const char* read_metadata();
    const ImageMetadata& metadata() const noexcept { return metadata_; }  // tenths: field 7
    std::size_t pixel_bytes() const noexcept {
        return std::size_t{metadata_.width} * metadata_.height * kChannels;
    }

    // After read_metadata() succeeded: reads the rest and renders the picture into
    // `pixels` (pixel_bytes() bytes of any content, all overwritten). Returns the
    // error, or nullptr; after an error the pixels mean nothing.
    const char* read_image(std::uint8_t* pixels);

private:
    enum class Phase : std::uint8_t { kBeforeMetadata, kInMetadata, kImage };

    const char* take_outside_image(std::uint32_t word);
    const char* close_metadata();
    const char* read_image_words(const std::uint32_t* word, const std::uint32_t* end);
    void paint_child(std::uint32_t descend);
    const char* colour_payload(unsigned channel, std::uint8_t level);
    const char* set_colour(std::uint32_t level0, std::uint32_t level1, std::uint32_t level2);
    const char* end_of_stream() const;

    static constexpr unsigned kAllChannels = (1u << kChannels) - 1;

    const std::uint32_t* words_;
    std::size_t count_;
    std::size_t next_ = 0;  // the first word not read yet
    Phase phase_ = Phase::kBeforeMetadata;
    unsigned begin_count_ = 0;
    unsigned end_count_ = 0;
    std::array<std::uint8_t, kMetaFieldCount> fields_{};
    std::array<bool, kMetaFieldCount> field_present_{};
    ImageMetadata metadata_;
    Palette palette_;
    TraversalPath path_;
    PaintCanvas canvas_;
    bool triplet_open_ = false;
    unsigned channels_present_ = 0;  // one bit per channel of the open triplet
    std::array<std::uint8_t, kChannels> channel_level_{};
    Colour colour_{};
    bool colour_seen_ = false;
    bool paint_seen_ = false;
};

}  // namespace vak::image
