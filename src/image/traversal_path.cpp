#include "image/traversal_path.hpp"

#include "common/invariant.hpp"

namespace vak::image {

void TraversalPath::reset(const Node& root, std::uint32_t width, std::uint32_t height) {
    width_ = width;
    height_ = height;
    levels_.clear();
    levels_.reserve(std::size_t{width} + height + 16);
    levels_.push_back(Level{root, 1});
    outside_levels_ = 0;
    depth_ = 1;
}

void TraversalPath::descend_repeatedly(unsigned quadrant, std::uint32_t times) {
    VAK_EXPECT(!levels_.empty(), "the traversal path holds the root");
    depth_ += times;
    for (std::uint32_t done = 0; done < times; ++done) {
        if (outside_levels_ != 0) {
            outside_levels_ += times - done;
            return;
        }
        Level& top = levels_.back();
        const Node child = child_of(top.node, quadrant);
        if (child.x >= width_ || child.y >= height_) {
            ++outside_levels_;
        } else if (child == top.node) {
            top.repeat += times - done;  // every further step yields the same node
            return;
        } else {
            levels_.push_back(Level{child, 1});
        }
    }
}

bool TraversalPath::backtrack_repeatedly(std::uint32_t times) {
    if (depth_ - 1 < times) return false;
    depth_ -= times;
    std::uint64_t remaining = times;
    const std::uint64_t from_outside = remaining < outside_levels_ ? remaining : outside_levels_;
    outside_levels_ -= from_outside;
    remaining -= from_outside;
    while (remaining != 0) {
        Level& top = levels_.back();
        if (top.repeat > remaining) {
            top.repeat -= remaining;
            break;
        }
        remaining -= top.repeat;
        levels_.pop_back();
    }
    VAK_EXPECT(!levels_.empty(), "backtracking never removes the root");
    return true;
}

}  // namespace vak::image
