// The decoder's path from the root to the current node, in memory bounded by
// the image's size whatever the stream does.
//
// A stream may descend without limit (each DESCEND word repeats up to 63
// times), so the path is not stored node by node:
// - a node outside the image has only outside descendants (children never lie
//   above or left of their parent), and painting there does nothing, so the
//   levels below the first outside node are just counted;
// - a node of size 1 is its own quadrant-0 child, so a run of identical levels
//   is stored once with a repeat count.
// Every other level moves strictly down in size or, at size 1, one pixel right
// or down inside the image, so fewer than width + height + 14 entries exist.
#pragma once

#include <cstdint>

#include "common/mi_allocator.hpp"
#include "image/image_format.hpp"

namespace vak::image {

class TraversalPath {
public:
    // The path becomes the root alone. Root coordinates must be below 4096.
    void reset(const Node& root, std::uint32_t width, std::uint32_t height);

    // Descends `times` levels, always into `quadrant`.
    void descend(unsigned quadrant, std::uint32_t times);
    // Goes up `times` levels; false (and nothing changed) if that would leave the root.
    bool backtrack(std::uint32_t times);

    bool at_root() const noexcept { return depth_ == 1; }
    // The current node, or nullptr when it lies outside the image.
    const Node* current_inside() const noexcept;

private:
    struct Level {
        Node node;
        std::uint64_t repeat;  // consecutive path levels holding this same node
    };

    Vec<Level> levels_;  // the root, then levels inside the image
    std::uint64_t outside_levels_ = 0;  // levels below levels_.back() outside the image
    std::uint64_t depth_ = 0;           // all levels, the root included
    std::uint32_t width_ = 0;
    std::uint32_t height_ = 0;
};

}  // namespace vak::image
