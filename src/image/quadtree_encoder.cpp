#include "image/quadtree_encoder.hpp"

#include <array>
#include <bit>
#include <cfloat>
#include <cmath>
#include <new>
#include <type_traits>

#include "common/invariant.hpp"
#include "image/block_sums.hpp"
#include "image/bump_arena.hpp"
#include "image/split_rule.hpp"

namespace vak::image {

namespace {

constexpr const char* kBadBitDepth = "bit_depth supported range is [1,6]";
constexpr const char* kDimensionsOverflow = "image dimensions overflow";
constexpr const char* kLengthMismatch = "image data length does not match width*height*3";
constexpr const char* kTooLarge = "image larger than 2048 pixels per side is not supported";

// The colour level of every byte value at one bit depth.
using LevelTable = std::array<std::uint8_t, 256>;

LevelTable build_level_table(unsigned bit_depth) {
    LevelTable levels{};
    for (unsigned v = 0; v < 256; ++v) {
        levels[v] = static_cast<std::uint8_t>(quantise_level(static_cast<double>(v), bit_depth));
    }
    return levels;
}

void write_metadata(EncodedWords& out, const ImageMetadata& meta) {
    const std::uint32_t w = meta.width < kMaxSplitValue ? meta.width : kMaxSplitValue;
    const std::uint32_t h = meta.height < kMaxSplitValue ? meta.height : kMaxSplitValue;
    const std::uint32_t z = meta.root_size < kMaxSplitValue ? meta.root_size : kMaxSplitValue;
    const std::uint32_t fields[kMetaFieldCount] = {
        w >> 6, w & kValueMask, h >> 6,         h & kValueMask,
        z >> 6, z & kValueMask, meta.bit_depth, meta.threshold_tenths & kValueMask};
    out.push(kMetaBeginWord);
    for (std::uint32_t i = 0; i < kMetaFieldCount; ++i) out.push(payload_word(i, fields[i]));
    out.push(kMetaEndWord);
}

// Totals stay below 2^53 (at most 255^2 * 2048^2), where the signed conversion
// is exact and cheaper than the unsigned one.
double exact_double(std::uint64_t total) {
    return static_cast<double>(static_cast<std::int64_t>(total));
}

// round(sum / 4^level) for a node mean: the mean is that quotient exactly (a
// power-of-two divisor), so rounding half to even can work on the integer.
std::uint32_t rounded_mean(std::uint64_t sum, unsigned level) {
    const unsigned shift = 2 * level;
    const std::uint64_t whole = sum >> shift;
    const std::uint64_t rest = sum & ((std::uint64_t{1} << shift) - 1);
    const std::uint64_t half = std::uint64_t{1} << (shift - 1);
    const bool up = rest > half || (rest == half && (whole & 1u) != 0);
    return static_cast<std::uint32_t>(whole + (up ? 1 : 0));
}

// The quadtree walk, depth first from the root, writing the canonical stream.
class Walk {
public:
    Walk(const BlockSums& sums, const std::uint8_t* pixels, std::uint32_t width,
         std::uint32_t height, const LevelTable& level_of, const LevelTable& pixel_level,
         double threshold, EncodedWords& out)
        : sums_(sums),
          pixels_(pixels),
          width_(width),
          height_(height),
          level_of_(level_of),
          pixel_level_(pixel_level),
          accepted_total_(largest_accepted_total(threshold)),
          out_(out) {
        for (unsigned level = 0; level <= kMaxBlockLevel; ++level) {
            inverse_area_[level] = std::ldexp(1.0, -2 * static_cast<int>(level));
        }
    }

    // The root has side 2^top_level. The path from the root to the current node is
    // an explicit stack of its split ancestors, one frame per level.
    void run(unsigned top_level) {
        struct Frame {
            std::uint32_t x;
            std::uint32_t y;
            unsigned quadrant;  // the child being written
        };
        std::array<Frame, kMaxBlockLevel + 1> frames{};
        std::size_t depth = 0;
        std::uint32_t x = 0;
        std::uint32_t y = 0;
        unsigned level = top_level;
        for (;;) {
            if (!write_unless_split(x, y, level)) {
                frames[depth++] = Frame{x, y, 0};
                out_.push(descend_word(0));
                --level;  // quadrant 0 keeps the corner
                continue;
            }
            // Up to the next quadrant still to write.
            for (;;) {
                if (depth == 0) return;
                Frame& parent = frames[depth - 1];
                out_.push(kBacktrackWord);
                if (++parent.quadrant < 4) {
                    const std::uint32_t half = std::uint32_t{1} << level;
                    x = parent.x + ((parent.quadrant & 1u) != 0 ? half : 0);
                    y = parent.y + ((parent.quadrant & 2u) != 0 ? half : 0);
                    out_.push(descend_word(parent.quadrant));
                    break;
                }
                --depth;
                ++level;
            }
        }
    }

private:
    // Writes the node (x, y, 2^level) when it is a leaf, or when its children are
    // single pixels (their words follow at once); false when it splits into
    // children that still need a visit.
    bool write_unless_split(std::uint32_t x, std::uint32_t y, unsigned level) {
        if (level == 0) {
            write_pixel_leaf(x, y);
            return true;
        }
        const BlockTotals totals = sums_.totals(level, x >> level, y >> level);
        // n = 4^level is a power of two, so multiplying by its reciprocal is exactly the division.
        const double inverse_n = inverse_area_[level];
        std::array<double, kChannels> variance{};
        for (std::size_t c = 0; c < kChannels; ++c) {
            const double mean = exact_double(totals.sum[c]) * inverse_n;
            variance[c] = exact_double(totals.square[c]) * inverse_n - mean * mean;
        }
        // t >= (total) / 3.0, decided without the division (largest_accepted_total).
        if (variance[2] + (variance[1] + variance[0]) <= accepted_total_) {
            write_leaf({level_of_mean(totals.sum[0], level), level_of_mean(totals.sum[1], level),
                        level_of_mean(totals.sum[2], level)});
            return true;
        }
        if (level > 1) return false;
        for (unsigned q = 0; q < 4; ++q) {
            out_.push(descend_word(q));
            write_pixel_leaf(x + (q & 1u), y + (q >> 1));
            out_.push(kBacktrackWord);
        }
        return true;
    }

    void write_leaf(const std::array<std::uint8_t, kChannels>& levels) {
        if (!has_last_ || levels != last_levels_) {
            out_.push(kSetColorWord);
            for (std::uint32_t c = 0; c < kChannels; ++c) out_.push(payload_word(c, levels[c]));
            last_levels_ = levels;
            has_last_ = true;
        }
        out_.push(kPaintWord);
    }

    // Means of bytes lie in 0..255, so their rounding indexes the level table.
    std::uint8_t level_of_mean(std::uint64_t sum, unsigned level) const {
        const std::uint32_t rounded = rounded_mean(sum, level);
        VAK_EXPECT(rounded < level_of_.size(), "a node mean lies within 0..255");
        return level_of_[rounded];
    }

    // A single pixel's mean is its own quantised value; the margin is black.
    void write_pixel_leaf(std::uint32_t x, std::uint32_t y) {
        if (x >= width_ || y >= height_) {
            write_leaf({0, 0, 0});
            return;
        }
        const std::uint8_t* pixel = pixels_ + (std::size_t{y} * width_ + x) * kChannels;
        write_leaf({pixel_level_[pixel[0]], pixel_level_[pixel[1]], pixel_level_[pixel[2]]});
    }

    const BlockSums& sums_;
    const std::uint8_t* pixels_;
    std::uint32_t width_;
    std::uint32_t height_;
    const LevelTable& level_of_;
    const LevelTable& pixel_level_;
    double accepted_total_;  // the largest variance total the threshold leaves whole
    std::array<double, kMaxBlockLevel + 1> inverse_area_{};  // 4^-level
    EncodedWords& out_;
    std::array<std::uint8_t, kChannels> last_levels_{};
    bool has_last_ = false;
};

}  // namespace

std::uint64_t root_size_for(std::uint32_t width, std::uint32_t height) noexcept {
    const std::uint64_t larger = width > height ? width : height;
    std::uint64_t side = 1;
    while (side < larger) side <<= 1;
    return side;
}

double to_single_precision(double threshold) noexcept {
    // Finite doubles beyond the float range are rounded by hand: the plain
    // conversion of such a value is undefined behaviour in C++.
    constexpr double kHalfwayPastMax = static_cast<double>(FLT_MAX) + 0x1p103;
    const double magnitude = std::fabs(threshold);
    if (std::isnan(threshold) || magnitude <= static_cast<double>(FLT_MAX)) {
        return static_cast<double>(static_cast<float>(threshold));
    }
    const double rounded = magnitude >= kHalfwayPastMax ? INFINITY : static_cast<double>(FLT_MAX);
    return std::copysign(rounded, threshold);
}

EncodeResult encode_quadtree(ByteVec pixels, std::uint32_t width, std::uint32_t height,
                             std::uint8_t bit_depth, double threshold) {
    EncodeResult result;
    if (bit_depth < kMinBitDepth || bit_depth > kMaxBitDepth) {
        result.error = kBadBitDepth;
        return result;
    }
    std::uint64_t expected_bytes = 0;
    if (__builtin_mul_overflow(std::uint64_t{width}, std::uint64_t{height}, &expected_bytes) ||
        __builtin_mul_overflow(expected_bytes, std::uint64_t{kChannels}, &expected_bytes)) {
        result.error = kDimensionsOverflow;
        return result;
    }
    if (expected_bytes != pixels.size()) {
        result.error = kLengthMismatch;
        return result;
    }
    if (width > kMaxEncodableSide || height > kMaxEncodableSide) {
        result.error = kTooLarge;
        return result;
    }

    const std::uint64_t side = root_size_for(width, height);
    const double t = to_single_precision(threshold);
    result.metadata = {width, height, static_cast<std::uint32_t>(side), bit_depth,
                       round_to_u32(10.0 * t)};
    const auto top_level = static_cast<unsigned>(std::countr_zero(side));
    // The tables live in the arena with the block sums: together they would make
    // a frame of kilobytes, and callers' threads may have small stacks.
    struct Tables {
        LevelTable level_of;
        LevelTable quantised;    // a byte's palette entry
        LevelTable pixel_level;  // that entry's level (a pixel leaf's colour)
    };
    BumpArena arena(BlockSums::bytes_needed(width, height, top_level) + sizeof(Tables) +
                    sizeof(BlockSums) + 32);
    Tables& tables = *new (arena.allocate(sizeof(Tables), alignof(Tables))) Tables{};
    tables.level_of = build_level_table(bit_depth);
    {
        const Palette palette = build_palette(bit_depth);
        for (unsigned v = 0; v < 256; ++v) {
            tables.quantised[v] = palette.entries[tables.level_of[v]];
            tables.pixel_level[v] = tables.level_of[tables.quantised[v]];
        }
    }
    // The sums' own tables (a kilobyte) go to the arena as well; nothing in them needs
    // destroying.
    static_assert(std::is_trivially_destructible_v<BlockSums>);
    const BlockSums& sums = *new (arena.allocate(sizeof(BlockSums), alignof(BlockSums))) BlockSums(
        arena, pixels.data(), width, height, top_level, tables.quantised);

    write_metadata(result.words, result.metadata);
    Walk(sums, pixels.data(), width, height, tables.level_of, tables.pixel_level, t, result.words)
        .run(top_level);
    return result;
}

}  // namespace vak::image
