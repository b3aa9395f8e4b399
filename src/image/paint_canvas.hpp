// The decoder's picture: renders PAINT commands with work bounded by the image
// and the number of paints, however often a stream paints the same pixels.
//
// Painting each node as it comes costs its area, so a hostile stream that
// repeats PAINT on a large node (up to 4095 x 4095 pixels, about 50 MB of writes
// each time) could run for hours. The canvas therefore works in two phases:
// - Direct: paints are written at once, row by row, while their areas add up to
//   at most twice the image's area. Every stream the encoder writes (each pixel
//   painted at most once) stays in this phase and costs what it always did.
// - Recorded: from the first paint over that budget on, paints are only listed
//   (clipped rectangle and colour); a new paint that contains the last listed
//   one replaces it. finish() then renders the list last paint first, writing
//   each pixel once, for the last paint that covers it: per row a union-find
//   of the next column not yet written skips written pixels, a union-find over
//   rows skips rows written in full, and a hash set of the tall rectangles
//   already rendered makes a repeated one cost O(1). Pixels that no listed
//   paint covers keep what the direct phase wrote.
// The result is the same as painting every node in stream order.
//
// Memory: the image, the list (12 bytes per paint, so bounded by the stream),
// and during finish() 2 bytes per pixel of skip links and a set of at most a
// few hundred thousand distinct tall rectangles (nodes more than 8 pixels high
// lie at most 9 levels down). Allocation failures throw std::bad_alloc.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/mi_allocator.hpp"
#include "image/image_format.hpp"

namespace vak::image {

class PaintCanvas {
public:
    // Paints go to `pixels`: width * height * 3 bytes that outlive the canvas's
    // use. Width and height are at most 4095. Forgets any earlier paints.
    void reset(std::uint8_t* pixels, std::uint32_t width, std::uint32_t height);

    // Fills the part of `node` inside the image with `colour` (nothing when the
    // node lies outside), now or in finish(). A single pixel painted directly
    // (most paints of a detailed picture) takes the inline path.
    void paint(const Node& node, const Colour& colour) {
        if (node.x >= width_ || node.y >= height_) return;
        if (node.size == 1 && !recording_ && direct_budget_ != 0) {
            --direct_budget_;
            std::uint8_t* pixel = pixels_ + (std::size_t{node.y} * width_ + node.x) * kChannels;
            pixel[0] = colour[0];
            pixel[1] = colour[1];
            pixel[2] = colour[2];
            return;
        }
        paint_area(node, colour);
    }

    // Renders the paints that were recorded and releases the list.
    void finish();

private:
    struct Rect {
        std::uint16_t x0, y0, x1, y1;  // columns x0..x1-1 and rows y0..y1-1, both non-empty
        Colour colour;
    };

    void paint_area(const Node& node, const Colour& colour);
    void fill_direct(const Rect& rect);
    void record(const Rect& rect);

    std::uint8_t* pixels_ = nullptr;
    std::uint32_t width_ = 0;
    std::uint32_t height_ = 0;
    std::uint64_t direct_budget_ = 0;  // pixels the direct phase may still write
    bool recording_ = false;
    Vec<Rect> recorded_;
};

}  // namespace vak::image
