#include "image/paint_canvas.hpp"

#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <new>

#include "common/heap.hpp"
#include "common/interrupt.hpp"

namespace vak::image {

namespace {

// Rectangles of at most this many rows are rendered again when repeated (a few
// skip-link look-ups per row); only taller ones go into the set of rendered
// rectangles, which keeps that set small: few nodes are that tall.
constexpr std::uint32_t kShortRows = 8;
// Pixels (or rows visited) between two looks for an interrupt.
constexpr std::size_t kPollPixels = std::size_t{1} << 16;

struct HeapRelease {
    void operator()(void* p) const noexcept { heap::release(p); }
};
template <class T>
using HeapArray = std::unique_ptr<T[], HeapRelease>;

// `count` zeroed elements; pages that stay untouched are never committed.
template <class T>
HeapArray<T> zeroed_array(std::size_t count) {
    void* p = heap::allocate_zeroed(count, sizeof(T));
    if (p == nullptr) throw std::bad_alloc();
    return HeapArray<T>(static_cast<T*>(p));
}

constexpr std::size_t kPatternPixels = 16;

// kPatternPixels pixels of one colour, from which rows are written (never read back).
std::array<std::uint8_t, kPatternPixels * kChannels> pattern_of(const Colour& colour) noexcept {
    // Four pixels are three 32-bit words holding the colour's bytes in turn.
    static_assert(std::endian::native == std::endian::little);
    const std::uint32_t c =
        colour[0] | std::uint32_t{colour[1]} << 8 | std::uint32_t{colour[2]} << 16;
    const std::uint32_t four[3] = {c | c << 24, c >> 8 | c << 16, c >> 16 | c << 8};
    std::array<std::uint8_t, kPatternPixels * kChannels> pattern;
    for (std::size_t i = 0; i < pattern.size(); i += sizeof four) {
        std::memcpy(pattern.data() + i, four, sizeof four);
    }
    return pattern;
}

// `count` pixels from `pattern` (kPatternPixels pixels of one colour), in pieces
// of fixed sizes that compile to a few wide stores each.
void fill_row(std::uint8_t* out, std::size_t count, const std::uint8_t* pattern) noexcept {
    constexpr std::size_t kFull = kPatternPixels * kChannels;
    for (; count >= kPatternPixels; count -= kPatternPixels, out += kFull) {
        std::memcpy(out, pattern, kFull);
    }
    if ((count & 8) != 0) {
        std::memcpy(out, pattern, 8 * kChannels);
        out += 8 * kChannels;
    }
    if ((count & 4) != 0) {
        std::memcpy(out, pattern, 4 * kChannels);
        out += 4 * kChannels;
    }
    if ((count & 2) != 0) {
        std::memcpy(out, pattern, 2 * kChannels);
        out += 2 * kChannels;
    }
    if ((count & 1) != 0) std::memcpy(out, pattern, kChannels);
}

// A line of skip links over indexes 0..n: 0 marks an index still open, d > 0 an
// index already taken, every index up to i + d being taken too. Index n is never
// taken. Returns the first open index from i on, halving the path it walks.
std::uint32_t next_open(std::uint16_t* link, std::uint32_t i) noexcept {
    while (link[i] != 0) {
        const std::uint32_t up = i + link[i];
        const std::uint32_t further = up + link[up];
        link[i] = static_cast<std::uint16_t>(further - i);
        i = further;
    }
    return i;
}

// An open-addressing set of non-zero 64-bit keys.
class KeySet {
public:
    // True when `key` was not in the set yet.
    bool insert(std::uint64_t key) {
        if ((count_ + 1) * 2 > slots_.size()) grow();
        std::size_t i = slot_of(key);
        while (slots_[i] != 0) {
            if (slots_[i] == key) return false;
            i = (i + 1) & (slots_.size() - 1);
        }
        slots_[i] = key;
        ++count_;
        return true;
    }

private:
    std::size_t slot_of(std::uint64_t key) const noexcept {
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - bits_));
    }

    void grow() {
        Vec<std::uint64_t> old(std::size_t{1} << (bits_ + 1), 0);
        old.swap(slots_);
        ++bits_;
        for (std::uint64_t key : old) {
            if (key == 0) continue;
            std::size_t i = slot_of(key);
            while (slots_[i] != 0) i = (i + 1) & (slots_.size() - 1);
            slots_[i] = key;
        }
    }

    Vec<std::uint64_t> slots_;
    std::size_t count_ = 0;
    unsigned bits_ = 5;  // the first table has 64 slots
};

}  // namespace

void PaintCanvas::reset(std::uint8_t* pixels, std::uint32_t width, std::uint32_t height) {
    pixels_ = pixels;
    width_ = width;
    height_ = height;
    direct_budget_ = 2 * std::uint64_t{width} * height;
    recording_ = false;
    recorded_.clear();
}

void PaintCanvas::paint_area(const Node& node, const Colour& colour) {
    const std::uint32_t right = node.size < width_ - node.x ? node.x + node.size : width_;
    const std::uint32_t bottom = node.size < height_ - node.y ? node.y + node.size : height_;
    const Rect rect{static_cast<std::uint16_t>(node.x), static_cast<std::uint16_t>(node.y),
                    static_cast<std::uint16_t>(right), static_cast<std::uint16_t>(bottom), colour};
    const std::uint64_t area = std::uint64_t{right - node.x} * (bottom - node.y);
    if (!recording_ && area <= direct_budget_) {
        direct_budget_ -= area;
        fill_direct(rect);
        return;
    }
    recording_ = true;  // later paints must not be written before this one
    record(rect);
}

void PaintCanvas::fill_direct(const Rect& rect) {
    const std::array<std::uint8_t, kPatternPixels * kChannels> pattern = pattern_of(rect.colour);
    const std::size_t row_stride = std::size_t{width_} * kChannels;
    const std::size_t span = std::size_t{rect.x1} - rect.x0;
    std::uint8_t* row = pixels_ + rect.y0 * row_stride + rect.x0 * kChannels;
    std::size_t since_poll = 0;
    for (std::size_t y = rect.y0; y < rect.y1; ++y, row += row_stride) {
        fill_row(row, span, pattern.data());
        since_poll += span;
        if (since_poll >= kPollPixels) {
            since_poll = 0;
            interrupt::poll();
        }
    }
}

void PaintCanvas::record(const Rect& rect) {
    // A listed paint inside the new one is painted over in full.
    while (!recorded_.empty()) {
        const Rect& last = recorded_.back();
        if (last.x0 < rect.x0 || last.y0 < rect.y0 || last.x1 > rect.x1 || last.y1 > rect.y1) break;
        recorded_.pop_back();
    }
    recorded_.push_back(rect);
}

void PaintCanvas::finish() {
    if (recorded_.empty()) return;
    const std::size_t line = std::size_t{width_} + 1;
    const std::size_t row_stride = std::size_t{width_} * kChannels;
    // Skip links per row over its columns, and over the rows (a row is taken
    // once all its pixels are); the number of pixels written in each row.
    const HeapArray<std::uint16_t> columns =
        zeroed_array<std::uint16_t>(std::size_t{height_} * line);
    const HeapArray<std::uint16_t> rows = zeroed_array<std::uint16_t>(std::size_t{height_} + 1);
    const HeapArray<std::uint16_t> written = zeroed_array<std::uint16_t>(height_);
    KeySet rendered;  // tall rectangles whose every pixel is written
    std::size_t work_since_poll = 0;
    for (std::size_t i = recorded_.size(); i-- > 0;) {
        if (++work_since_poll >= kPollPixels) {
            work_since_poll = 0;
            interrupt::poll();
        }
        const Rect& rect = recorded_[i];
        const std::uint64_t key = std::uint64_t{rect.x0} | std::uint64_t{rect.y0} << 16 |
                                  std::uint64_t{rect.x1} << 32 | std::uint64_t{rect.y1} << 48;
        if (rect.y1 > rect.y0 + kShortRows && !rendered.insert(key)) continue;
        for (std::uint32_t y = next_open(rows.get(), rect.y0); y < rect.y1;
             y = next_open(rows.get(), y + 1)) {
            std::uint16_t* link = columns.get() + y * line;
            std::uint8_t* row = pixels_ + y * row_stride;
            std::uint32_t count = 0;
            std::uint32_t x = next_open(link, rect.x0);
            while (x < rect.x1) {
                std::memcpy(row + std::size_t{x} * kChannels, rect.colour.data(), kChannels);
                // Every column up to x1 is taken when this row is done.
                link[x] = static_cast<std::uint16_t>(rect.x1 - x);
                ++count;
                ++x;
                if (link[x] != 0) x = next_open(link, x);
            }
            written[y] = static_cast<std::uint16_t>(written[y] + count);
            work_since_poll += count + 1;
            if (written[y] == width_) rows[y] = 1;
        }
    }
    Vec<Rect>().swap(recorded_);
}

}  // namespace vak::image
