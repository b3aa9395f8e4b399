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

    // Descends `times` levels, always into `quadrant`. One level at a time (what
    // canonical streams do) takes the inline path.
    void descend(unsigned quadrant, std::uint32_t times) {
        if (times != 1 || outside_levels_ != 0) {
            descend_repeatedly(quadrant, times);
            return;
        }
        ++depth_;
        Level& top = levels_.back();
        const Node child = child_of(top.node, quadrant);
        if (child.x >= width_ || child.y >= height_) {
            outside_levels_ = 1;
        } else if (child == top.node) {
            ++top.repeat;
        } else {
            levels_.push_back(Level{child, 1});  // within the capacity reserved by reset()
        }
    }

    // Goes up `times` levels; false (and nothing changed) if that would leave the root.
    bool backtrack(std::uint32_t times) {
        if (times != 1 || depth_ == 1) return backtrack_repeatedly(times);
        --depth_;
        if (outside_levels_ != 0) {
            --outside_levels_;
        } else if (levels_.back().repeat > 1) {
            --levels_.back().repeat;
        } else {
            levels_.pop_back();  // not the root: depth_ was above 1
        }
        return true;
    }

    bool at_root() const noexcept { return depth_ == 1; }
    // The current node, or nullptr when it lies outside the image.
    const Node* current_inside() const noexcept {
        if (outside_levels_ != 0) return nullptr;
        const Node& node = levels_.back().node;
        return node.x < width_ && node.y < height_ ? &node : nullptr;
    }

private:
    void descend_repeatedly(unsigned quadrant, std::uint32_t times);
    bool backtrack_repeatedly(std::uint32_t times);

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
