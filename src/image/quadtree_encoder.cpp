#include "image/quadtree_encoder.hpp"

#include <array>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "common/invariant.hpp"
#include "image/bump_arena.hpp"

namespace vak::image {

namespace {

constexpr const char* kBadBitDepth = "bit_depth supported range is [1,6]";
constexpr const char* kDimensionsOverflow = "image dimensions overflow";
constexpr const char* kLengthMismatch = "image data length does not match width*height*3";
constexpr const char* kTooLarge = "image larger than 2048 pixels per side is not supported";

constexpr std::size_t kChannels = 3;

// One entry of the summed-area tables. The six tables (sums and sums of squares
// of three channels) are interleaved so that one node lookup touches four cache
// lines instead of twenty-four. The constructor leaves the entry uninitialised:
// every entry is written once while the tables are filled.
struct TableEntry {
    std::array<std::uint64_t, kChannels> sum;
    std::array<std::uint64_t, kChannels> square_sum;
    TableEntry() {}
};
static_assert(sizeof(TableEntry) == 48);

// A visit task for the node (x, y, size), or an emit task for `word` when size is 0.
struct Task {
    std::uint64_t x;
    std::uint64_t y;
    std::uint64_t size;
    std::uint32_t word;
};

// The walk's explicit stack; it grows by doubling inside the arena.
class TaskStack {
public:
    TaskStack(BumpArena& arena, std::size_t capacity)
        : arena_(arena), tasks_(arena.allocate_array<Task>(capacity)), capacity_(capacity) {}

    bool empty() const noexcept { return size_ == 0; }
    Task pop() noexcept { return tasks_[--size_]; }
    void push_visit(std::uint64_t x, std::uint64_t y, std::uint64_t size) {
        push(Task{x, y, size, 0});
    }
    void push_emit(std::uint32_t word) { push(Task{0, 0, 0, word}); }

private:
    void push(const Task& task) {
        if (size_ == capacity_) grow();
        tasks_[size_++] = task;
    }
    void grow() {
        Task* larger = arena_.allocate_array<Task>(capacity_ * 2);
        std::memcpy(larger, tasks_, size_ * sizeof(Task));
        tasks_ = larger;  // the old array stays in the arena until the call ends
        capacity_ *= 2;
    }

    BumpArena& arena_;
    Task* tasks_;
    std::size_t capacity_;
    std::size_t size_ = 0;
};

// The colour level of every byte value at one bit depth.
using LevelTable = std::array<std::uint8_t, 256>;

LevelTable build_level_table(unsigned bit_depth) {
    LevelTable levels{};
    for (unsigned v = 0; v < 256; ++v) {
        levels[v] = static_cast<std::uint8_t>(quantise_level(static_cast<double>(v), bit_depth));
    }
    return levels;
}

// The quantised image in the top-left corner of an all-black S x S square.
void fill_working_image(std::uint8_t* working, std::size_t side, const std::uint8_t* pixels,
                        std::uint32_t width, std::uint32_t height, const Palette& palette,
                        const LevelTable& level_of) {
    std::array<std::uint8_t, 256> quantised{};
    for (unsigned v = 0; v < 256; ++v) quantised[v] = palette.entries[level_of[v]];
    const std::size_t row_bytes = std::size_t{width} * kChannels;
    const std::size_t side_bytes = side * kChannels;
    for (std::size_t y = 0; y < height; ++y) {
        const std::uint8_t* source = pixels + y * row_bytes;
        std::uint8_t* target = working + y * side_bytes;
        for (std::size_t i = 0; i < row_bytes; ++i) target[i] = quantised[source[i]];
        std::memset(target + row_bytes, 0, side_bytes - row_bytes);  // the right margin
    }
    std::memset(working + height * side_bytes, 0, (side - height) * side_bytes);  // bottom margin
}

// Entry (r, k) holds the totals over rows 0..r-1 and columns 0..k-1.
void fill_tables(TableEntry* tables, const std::uint8_t* working, std::size_t side) {
    const std::size_t stride = side + 1;
    for (std::size_t k = 0; k < stride; ++k) tables[k].sum = tables[k].square_sum = {0, 0, 0};
    for (std::size_t y = 0; y < side; ++y) {
        const TableEntry* __restrict above = tables + y * stride;
        TableEntry* __restrict row = tables + (y + 1) * stride;
        row[0].sum = row[0].square_sum = {0, 0, 0};
        // Running sums of this row so far, per channel: plain locals stay in registers.
        std::uint64_t s0 = 0, s1 = 0, s2 = 0, q0 = 0, q1 = 0, q2 = 0;
        const std::uint8_t* pixel = working + y * side * kChannels;
        for (std::size_t x = 1; x <= side; ++x, pixel += kChannels) {
            const std::uint64_t v0 = pixel[0], v1 = pixel[1], v2 = pixel[2];
            s0 += v0;
            s1 += v1;
            s2 += v2;
            q0 += v0 * v0;
            q1 += v1 * v1;
            q2 += v2 * v2;
            row[x].sum = {above[x].sum[0] + s0, above[x].sum[1] + s1, above[x].sum[2] + s2};
            row[x].square_sum = {above[x].square_sum[0] + q0, above[x].square_sum[1] + q1,
                                 above[x].square_sum[2] + q2};
        }
    }
}

void write_metadata(WordVec& out, const ImageMetadata& meta) {
    const std::uint32_t w = meta.width < kMaxSplitValue ? meta.width : kMaxSplitValue;
    const std::uint32_t h = meta.height < kMaxSplitValue ? meta.height : kMaxSplitValue;
    const std::uint32_t z = meta.root_size < kMaxSplitValue ? meta.root_size : kMaxSplitValue;
    const std::uint32_t fields[kMetaFieldCount] = {
        w >> 6, w & kValueMask, h >> 6, h & kValueMask, z >> 6, z & kValueMask,
        meta.bit_depth, meta.threshold_tenths & kValueMask};
    out.push_back(kMetaBeginWord);
    for (std::uint32_t i = 0; i < kMetaFieldCount; ++i) out.push_back(payload_word(i, fields[i]));
    out.push_back(kMetaEndWord);
}

struct Walk {
    const TableEntry* tables;
    std::size_t stride;
    const std::uint8_t* working;
    std::size_t side;
    const LevelTable& level_of;
    double threshold;
    WordVec& out;
    std::array<std::uint8_t, kChannels> last_levels{};
    bool has_last = false;

    void emit_leaf(const std::array<std::uint8_t, kChannels>& levels) {
        if (!has_last || levels != last_levels) {
            out.push_back(kSetColorWord);
            for (std::uint32_t c = 0; c < kChannels; ++c) out.push_back(payload_word(c, levels[c]));
            last_levels = levels;
            has_last = true;
        }
        out.push_back(kPaintWord);
    }

    // Means of bytes lie in 0..255, so their rounding indexes the level table.
    std::uint8_t level_of_mean(double mean) const {
        const std::uint32_t rounded = round_to_u32(mean);
        VAK_EXPECT(rounded < level_of.size(), "a node mean lies within 0..255");
        return level_of[rounded];
    }

    // A single pixel's mean is its own value, so its level comes straight from
    // the working image, without the tables.
    void emit_pixel_leaf(std::uint64_t x, std::uint64_t y) {
        const std::uint8_t* pixel = working + (y * side + x) * kChannels;
        emit_leaf({level_of[pixel[0]], level_of[pixel[1]], level_of[pixel[2]]});
    }

    void visit(TaskStack& stack, std::uint64_t x, std::uint64_t y, std::uint64_t s) {
        if (s == 1) {
            emit_pixel_leaf(x, y);
            return;
        }
        const TableEntry& top_left = tables[y * stride + x];
        const TableEntry& top_right = tables[y * stride + x + s];
        const TableEntry& bottom_left = tables[(y + s) * stride + x];
        const TableEntry& bottom_right = tables[(y + s) * stride + x + s];
        // s * s is a power of two, so multiplying by its reciprocal is exactly the division.
        const double inverse_n = 1.0 / static_cast<double>(s * s);
        std::array<double, kChannels> mean{};
        std::array<double, kChannels> variance{};
        for (std::size_t c = 0; c < kChannels; ++c) {
            const std::uint64_t sum =
                bottom_right.sum[c] - (top_right.sum[c] + bottom_left.sum[c]) + top_left.sum[c];
            const std::uint64_t square = bottom_right.square_sum[c] -
                                         (top_right.square_sum[c] + bottom_left.square_sum[c]) +
                                         top_left.square_sum[c];
            mean[c] = static_cast<double>(sum) * inverse_n;
            variance[c] = static_cast<double>(square) * inverse_n - mean[c] * mean[c];
        }
        const double v = (variance[2] + (variance[1] + variance[0])) / 3.0;
        if (threshold >= v) {
            emit_leaf({level_of_mean(mean[0]), level_of_mean(mean[1]), level_of_mean(mean[2])});
            return;
        }
        const std::uint64_t h = s / 2;
        if (h == 1) {
            // The four children are pixels: their words follow at once, in quadrant order,
            // exactly as their tasks would produce them.
            for (unsigned q = 0; q < 4; ++q) {
                out.push_back(descend_word(q));
                emit_pixel_leaf(x + (q & 1u), y + (q >> 1));
                out.push_back(kBacktrackWord);
            }
            return;
        }
        // Pushed in reverse: popping yields DESCEND q, the child, BACKTRACK for q = 0..3.
        stack.push_emit(kBacktrackWord);
        stack.push_visit(x + h, y + h, h);
        stack.push_emit(descend_word(3));
        stack.push_emit(kBacktrackWord);
        stack.push_visit(x, y + h, h);
        stack.push_emit(descend_word(2));
        stack.push_emit(kBacktrackWord);
        stack.push_visit(x + h, y, h);
        stack.push_emit(descend_word(1));
        stack.push_emit(kBacktrackWord);
        stack.push_visit(x, y, h);
        stack.push_emit(descend_word(0));
    }
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
    const Palette palette = build_palette(bit_depth);

    const std::size_t working_bytes = side * side * kChannels;
    BumpArena arena(working_bytes);
    auto* working = arena.allocate_array<std::uint8_t>(working_bytes);
    const LevelTable level_of = build_level_table(bit_depth);
    fill_working_image(working, side, pixels.data(), width, height, palette, level_of);
    ByteVec().swap(pixels);

    const std::size_t stride = side + 1;
    Vec<TableEntry> tables(stride * stride);
    fill_tables(tables.data(), working, side);

    result.words.reserve(side * side / 2 + 32);
    write_metadata(result.words, result.metadata);

    TaskStack stack(arena, 2 * side);
    Walk walk{tables.data(), stride, working, side, level_of, t, result.words};
    stack.push_visit(0, 0, side);
    while (!stack.empty()) {
        const Task task = stack.pop();
        if (task.size == 0) {
            result.words.push_back(task.word);
        } else {
            walk.visit(stack, task.x, task.y, task.size);
        }
    }
    return result;
}

}  // namespace vak::image
