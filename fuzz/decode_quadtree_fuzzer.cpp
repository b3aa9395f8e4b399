// Fuzzes the enhanced stream decoder.
//
// Input: a sequence of words. A byte below 0xF0 and the byte after it make an
// image command word 0x80400 | (b0 & 3) << 8 | b1 (kind, selector and argument
// fields); a byte from 0xF0 up is followed by a raw little-endian 32-bit word,
// so that every word sequence can be written.
//
// Every stream must decode or fail with one of the grammar's messages; a
// success yields width * height * 3 bytes. The result must be deterministic,
// unchanged when the bits the decoder ignores are flipped in every word, and,
// for pictures of up to 2^16 pixels, equal to a plain decoder's (an explicit
// node stack and pixel-by-pixel painting).
#include <array>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "image/decoded_picture.hpp"

namespace {

constexpr std::size_t kMaxWords = 1 << 14;
constexpr std::uint64_t kPlainPixelLimit = 1 << 16;
constexpr std::uint64_t kPlainDepthLimit = 1 << 18;

const char* const kMessages[] = {
    "unexpected data payload",
    "image commands appeared before metadata was complete",
    "META_END without META_BEGIN",
    "invalid META command arg",
    "enhanced command encountered while metadata block is open",
    "nested META_BEGIN",
    "duplicate metadata block",
    "incomplete prior color triplet",
    "backtrack underflow",
    "missing required metadata fields",
    "invalid root in metadata",
    "non-color data outside metadata block",
    "duplicate color channel payload",
    "ended with open metadata block",
    "ended with incomplete color triplet",
    "metadata framing count invalid",
    "ended with unbalanced traversal depth",
    "missing required SET_COLOR/PAINT sequence",
    // This decoder's answer to a level beyond the palette (the grammar has none).
    "color level outside palette",
};
const std::string kPrefix = "invalid enhanced stream: ";

bool known_message(const char* error) {
    for (const char* reason : kMessages) {
        if (error == kPrefix + reason) return true;
    }
    return false;
}

struct Outcome {
    std::string error;  // empty on success
    std::vector<std::uint8_t> pixels;
    std::array<std::uint32_t, 5> metadata{};
};

Outcome outcome_of(const vak::image::DecodeResult& r) {
    Outcome o;
    if (r.error != nullptr) o.error = r.error;
    o.pixels.assign(r.pixels.begin(), r.pixels.end());
    o.metadata = {r.metadata.width, r.metadata.height, r.metadata.root_size, r.metadata.bit_depth,
                  r.metadata.threshold_tenths};
    return o;
}

// The decoder by the book. Returns nothing when the stream grows beyond what it
// is willing to render or walk.
std::optional<Outcome> plain_decode(const std::vector<std::uint32_t>& words) {
    struct Node {
        std::uint64_t x, y, size;
    };
    enum { kBefore, kIn, kImage } phase = kBefore;
    unsigned begins = 0, ends = 0;
    std::array<std::uint32_t, 8> field{};
    std::array<bool, 8> present{};
    std::uint32_t width = 0, height = 0, depth = 0;
    std::vector<std::uint8_t> image, palette;
    std::vector<Node> stack;
    bool triplet = false, colour_seen = false, paint_seen = false;
    std::array<bool, 3> channel{};
    std::array<std::uint32_t, 3> level{};
    std::array<std::uint8_t, 3> colour{};
    Outcome o;
    auto fail = [&](const char* reason) {
        o.error = kPrefix + reason;
        return o;
    };
    for (std::uint32_t w : words) {
        if ((w & 0xF0C00) != 0x80400) continue;
        const bool payload = (w & 0x200) != 0;
        const std::uint32_t sel = (w >> 6) & 7, arg = w & 63;
        if (phase == kBefore) {
            if (payload) return fail("unexpected data payload");
            if (sel != 7) return fail("image commands appeared before metadata was complete");
            if (arg == 1) return fail("META_END without META_BEGIN");
            if (arg != 0) return fail("invalid META command arg");
            ++begins;
            phase = kIn;
        } else if (phase == kIn) {
            if (payload) {
                field[sel] = arg;
                present[sel] = true;
                continue;
            }
            if (sel != 7) return fail("enhanced command encountered while metadata block is open");
            if (arg == 0) return fail("nested META_BEGIN");
            if (arg != 1) return fail("invalid META command arg");
            for (bool p : present) {
                if (!p) return fail("missing required metadata fields");
            }
            const std::uint32_t root = field[4] * 64 + field[5];
            if (root == 0) return fail("invalid root in metadata");
            width = field[0] * 64 + field[1];
            height = field[2] * 64 + field[3];
            depth = field[6] == 0 ? 1 : (field[6] > 6 ? 6 : field[6]);
            if (std::uint64_t{width} * height > kPlainPixelLimit) return std::nullopt;
            image.assign(std::size_t{width} * height * 3, 0);
            stack.assign(1, Node{0, 0, root});
            const double top = (1u << depth) - 1;
            palette.clear();
            for (unsigned k = 0; k <= top; ++k) {
                palette.push_back(static_cast<std::uint8_t>(std::nearbyint(k / top * 255.0)));
            }
            ++ends;
            o.metadata = {width, height, root, depth, field[7]};
            phase = kImage;
        } else if (payload) {
            if (!triplet) return fail("unexpected data payload");
            if (sel >= 3) return fail("non-color data outside metadata block");
            if (channel[sel]) return fail("duplicate color channel payload");
            channel[sel] = true;
            level[sel] = arg;
            if (channel[0] && channel[1] && channel[2]) {
                for (std::uint32_t l : level) {
                    if (l >= palette.size()) return fail("color level outside palette");
                }
                for (unsigned c = 0; c < 3; ++c) colour[c] = palette[level[c]];
                triplet = false;
            }
        } else if (sel <= 3) {
            for (std::uint32_t k = 0; k < (arg != 0 ? arg : 1); ++k) {
                const Node& n = stack.back();
                const std::uint64_t half = n.size >> 1 != 0 ? n.size >> 1 : 1;
                stack.push_back(Node{n.x + ((sel & 1) != 0 ? half : 0),
                                     n.y + ((sel & 2) != 0 ? half : 0), half});
            }
            if (stack.size() > kPlainDepthLimit) return std::nullopt;
        } else if (sel == 4) {
            paint_seen = true;
            const Node& n = stack.back();
            for (std::uint64_t y = n.y; y < n.y + n.size && y < height; ++y) {
                for (std::uint64_t x = n.x; x < n.x + n.size && x < width; ++x) {
                    std::memcpy(&image[(y * width + x) * 3], colour.data(), 3);
                }
            }
        } else if (sel == 5) {
            if (triplet) return fail("incomplete prior color triplet");
            channel = {};
            level = {};
            colour_seen = triplet = true;
        } else if (sel == 6) {
            for (std::uint32_t k = 0; k < (arg != 0 ? arg : 1); ++k) {
                if (stack.size() < 2) return fail("backtrack underflow");
                stack.pop_back();
            }
        } else {
            if (arg == 0) return fail("duplicate metadata block");
            if (arg == 1) return fail("META_END without META_BEGIN");
            return fail("invalid META command arg");
        }
    }
    if (phase == kIn) return fail("ended with open metadata block");
    if (triplet) return fail("ended with incomplete color triplet");
    if (begins != 1 || ends != 1) return fail("metadata framing count invalid");
    if (stack.size() != 1) return fail("ended with unbalanced traversal depth");
    if (!colour_seen || !paint_seen) return fail("missing required SET_COLOR/PAINT sequence");
    o.pixels = std::move(image);
    return o;
}

Outcome decode(const std::vector<std::uint32_t>& words) {
    return outcome_of(vak::image::decode_quadtree(words.data(), words.size()));
}

void check_same(const Outcome& a, const Outcome& b, const char* what) {
    FUZZ_CHECK(a.error == b.error, "%s: '%s' and '%s'", what, a.error.c_str(), b.error.c_str());
    FUZZ_CHECK(a.pixels == b.pixels, "%s: the pictures differ", what);
    if (a.error.empty()) FUZZ_CHECK(a.metadata == b.metadata, "%s: the metadata differ", what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::ByteReader in(data, size);
    std::vector<std::uint32_t> words;
    while (!in.empty() && words.size() < kMaxWords) {
        const std::uint8_t b0 = in.byte();
        words.push_back(b0 < 0xF0 ? 0x80400u | (std::uint32_t{b0 & 3u} << 8) | in.byte()
                                  : in.u32le());
    }

    const Outcome first = decode(words);
    if (first.error.empty()) {
        const auto& m = first.metadata;
        FUZZ_CHECK(first.pixels.size() == std::size_t{m[0]} * m[1] * 3,
                   "%zu bytes for a %u x %u picture", first.pixels.size(), m[0], m[1]);
        FUZZ_CHECK(m[0] <= 4095 && m[1] <= 4095 && m[2] >= 1 && m[2] <= 4095 && m[3] >= 1 &&
                       m[3] <= 6 && m[4] <= 63,
                   "metadata (%u, %u, %u, %u, %u)", m[0], m[1], m[2], m[3], m[4]);
    } else {
        FUZZ_CHECK(known_message(first.error.c_str()), "unknown message '%s'", first.error.c_str());
        FUZZ_CHECK(first.pixels.empty(), "a failed decode left %zu bytes", first.pixels.size());
    }

    check_same(first, decode(words), "decoding twice");

    // Bits 12-15 and 20-31 never change what a word means, whatever it is.
    std::vector<std::uint32_t> flipped = words;
    for (std::uint32_t& w : flipped) w ^= 0xFFF0F000u;
    check_same(first, decode(flipped), "ignored bits flipped");

    if (const std::optional<Outcome> plain = plain_decode(words)) {
        check_same(first, *plain, "against the plain decoder");
    }
    return 0;
}
