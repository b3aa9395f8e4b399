// Fuzzes the quadtree encoder on small images.
//
// Input: width = b0 % 40, height = b1 % 40, bit depth = b2 & 7 (0 and 7 must be
// refused); with bit 3 of b2 set the remaining pixel bytes are taken as they
// are (so that wrong lengths are refused), otherwise they are repeated (or zero)
// to fill the image. b3 and b4 choose the threshold (mostly 0, also fractions,
// large values, negative values, NaN and infinities).
//
// A stream must be canonical, match a plain encoder that sums every node's
// pixels directly, and decode; at threshold 0 it must decode to the quantised
// image.
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "fuzz_support.hpp"
#include "image/decoded_picture.hpp"
#include "image/quadtree_encoder.hpp"

namespace {

constexpr std::uint32_t kSetColor = 0x80541, kPaint = 0x80501, kBacktrack = 0x80581;
constexpr std::uint32_t kMetaBegin = 0x805C0, kMetaEnd = 0x805C1;
constexpr std::uint32_t descend(unsigned q) {
    return 0x80401 + 0x40 * q;
}

// Round to nearest, ties to even (the default floating-point rounding mode).
std::uint32_t round_even(double x) {
    return static_cast<std::uint32_t>(std::nearbyint(x));
}

double threshold_from(std::uint8_t kind, std::uint8_t value) {
    switch (kind % 8) {
        case 4: return value * 0.25;
        case 5: return value * 97.3;  // rarely a float: the encoder rounds it
        case 6: return -(value + 1) * 0.5;
        case 7: {
            const double specials[] = {std::numeric_limits<double>::quiet_NaN(),
                                       INFINITY,
                                       -INFINITY,
                                       1e30,
                                       FLT_MAX,
                                       1e-45,
                                       6.4,
                                       1.5};
            return specials[value % 8];
        }
        default: return 0.0;
    }
}

struct Image {
    std::uint32_t width, height, side, depth;
    std::vector<std::uint8_t> palette;   // 2^depth entries
    std::vector<std::uint8_t> level_of;  // the level of each byte value
    std::vector<std::uint8_t> working;   // side x side x 3, quantised, black margin

    Image(const std::vector<std::uint8_t>& pixels, std::uint32_t w, std::uint32_t h, unsigned d)
        : width(w), height(h), side(1), depth(d) {
        while (side < w || side < h) side *= 2;
        const double top = (1u << d) - 1;
        for (unsigned k = 0; k <= top; ++k) palette.push_back(round_even(k / top * 255.0));
        for (unsigned v = 0; v < 256; ++v) level_of.push_back(round_even(v / 255.0 * top));
        working.assign(std::size_t{side} * side * 3, 0);
        for (std::uint32_t y = 0; y < h; ++y) {
            for (std::size_t i = 0; i < std::size_t{w} * 3; ++i) {
                working[y * side * 3 + i] = palette[level_of[pixels[y * w * 3 + i]]];
            }
        }
    }
};

// The encoder by the book: node statistics summed pixel by pixel.
struct PlainEncoder {
    const Image& image;
    double t;
    std::vector<std::uint32_t> out;
    bool has_last = false;
    unsigned last[3] = {};

    void node(std::uint32_t x, std::uint32_t y, std::uint32_t s) {
        std::uint64_t sum[3] = {}, square[3] = {};
        for (std::uint32_t r = y; r < y + s; ++r) {
            for (std::uint32_t k = x; k < x + s; ++k) {
                for (unsigned c = 0; c < 3; ++c) {
                    const std::uint64_t v =
                        image.working[(std::size_t{r} * image.side + k) * 3 + c];
                    sum[c] += v;
                    square[c] += v * v;
                }
            }
        }
        const double n = static_cast<double>(std::uint64_t{s} * s);
        double mean[3], var[3];
        for (unsigned c = 0; c < 3; ++c) {
            mean[c] = static_cast<double>(sum[c]) / n;
            var[c] = static_cast<double>(square[c]) / n - mean[c] * mean[c];
        }
        const double v = (var[2] + (var[1] + var[0])) / 3.0;
        if (s == 1 || t >= v) {
            unsigned levels[3];
            for (unsigned c = 0; c < 3; ++c) {
                levels[c] = round_even(round_even(mean[c]) / 255.0 * ((1u << image.depth) - 1));
            }
            if (!has_last || std::memcmp(levels, last, sizeof levels) != 0) {
                out.push_back(kSetColor);
                for (unsigned c = 0; c < 3; ++c) out.push_back(0x80600 + 0x40 * c + levels[c]);
                std::memcpy(last, levels, sizeof levels);
                has_last = true;
            }
            out.push_back(kPaint);
            return;
        }
        const std::uint32_t h = s / 2;
        for (unsigned q = 0; q < 4; ++q) {
            out.push_back(descend(q));
            node(x + (q & 1u) * h, y + (q >> 1) * h, h);
            out.push_back(kBacktrack);
        }
    }
};

// Checks the canonical grammar: the metadata block, then the tree depth first,
// colour groups only where the colour changes, nothing else.
class CanonicalReader {
public:
    CanonicalReader(const vak::WordVec& words, unsigned depth) : words_(words), depth_(depth) {}

    void read_tree(std::uint32_t size) {
        FUZZ_CHECK(pos_ < words_.size(), "stream ends inside the tree");
        if (words_[pos_] == descend(0)) {
            FUZZ_CHECK(size >= 2, "a node of size %u is split", size);
            for (unsigned q = 0; q < 4; ++q) {
                expect(descend(q), "DESCEND");
                read_tree(size / 2);
                expect(kBacktrack, "BACKTRACK");
            }
            return;
        }
        if (words_[pos_] == kSetColor) {
            ++pos_;
            unsigned levels[3];
            for (unsigned c = 0; c < 3; ++c) {
                FUZZ_CHECK(pos_ < words_.size(), "stream ends inside a colour group");
                const std::uint32_t w = words_[pos_++];
                levels[c] = w & 0x3F;
                FUZZ_CHECK((w & ~0x3Fu) == 0x80600 + 0x40 * c, "word 0x%X is not channel %u", w, c);
                FUZZ_CHECK(levels[c] < (1u << depth_), "level %u at depth %u", levels[c], depth_);
            }
            FUZZ_CHECK(!has_last_ || std::memcmp(levels, last_, sizeof levels) != 0,
                       "a colour group repeats the last colour");
            std::memcpy(last_, levels, sizeof levels);
            has_last_ = true;
        }
        FUZZ_CHECK(has_last_, "the first leaf has no colour group");
        expect(kPaint, "PAINT");
    }

    void expect(std::uint32_t word, const char* what) {
        FUZZ_CHECK(pos_ < words_.size() && words_[pos_] == word, "%s expected at word %zu", what,
                   pos_);
        ++pos_;
    }

    bool at_end() const { return pos_ == words_.size(); }

private:
    const vak::WordVec& words_;
    unsigned depth_;
    std::size_t pos_ = 0;
    bool has_last_ = false;
    unsigned last_[3] = {};
};

void check_metadata_block(CanonicalReader& reader, std::uint32_t w, std::uint32_t h,
                          std::uint32_t s, unsigned depth, std::uint32_t tenths) {
    const std::uint32_t fields[8] = {w >> 6, w & 63, h >> 6, h & 63,
                                     s >> 6, s & 63, depth,  tenths & 63};
    reader.expect(kMetaBegin, "META_BEGIN");
    for (unsigned i = 0; i < 8; ++i)
        reader.expect(0x80600 + 0x40 * i + fields[i], "metadata field");
    reader.expect(kMetaEnd, "META_END");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::report_kernel_path();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::ByteReader in(data, size);
    const std::uint32_t width = in.byte() % 40;
    const std::uint32_t height = in.byte() % 40;
    const std::uint8_t b2 = in.byte();
    const unsigned depth = b2 & 7;
    const bool exact_length = (b2 & 8) != 0;
    const std::uint8_t kind = in.byte();
    const double threshold = threshold_from(kind, in.byte());

    std::vector<std::uint8_t> rest;
    while (!in.empty()) rest.push_back(in.byte());
    const std::size_t length = std::size_t{width} * height * 3;
    std::vector<std::uint8_t> pixels = rest;
    if (!exact_length) {
        pixels.resize(length);
        for (std::size_t i = 0; i < length; ++i)
            pixels[i] = rest.empty() ? 0 : rest[i % rest.size()];
    }

    vak::ByteVec owned(pixels.begin(), pixels.end());
    const vak::image::EncodeResult result = vak::image::encode_quadtree(
        std::move(owned), width, height, static_cast<std::uint8_t>(depth), threshold);
    if (depth < 1 || depth > 6) {
        FUZZ_CHECK(result.error != nullptr &&
                       std::strcmp(result.error, "bit_depth supported range is [1,6]") == 0,
                   "bit depth %u accepted", depth);
        return 0;
    }
    if (pixels.size() != length) {
        FUZZ_CHECK(
            result.error != nullptr &&
                std::strcmp(result.error, "image data length does not match width*height*3") == 0,
            "%zu bytes accepted for %ux%u", pixels.size(), width, height);
        return 0;
    }
    FUZZ_CHECK(result.error == nullptr, "refused: %s", result.error);

    const Image image(pixels, width, height, depth);
    const double t = static_cast<double>(static_cast<float>(threshold));
    const vak::image::ImageMetadata& meta = result.metadata;
    FUZZ_CHECK(meta.width == width && meta.height == height && meta.root_size == image.side &&
                   meta.bit_depth == depth,
               "metadata (%u, %u, %u, %u)", meta.width, meta.height, meta.root_size,
               meta.bit_depth);
    if (std::isnan(t)) {
        FUZZ_CHECK(meta.threshold_tenths == 0, "NaN threshold gives tenths %u",
                   meta.threshold_tenths);
    } else if (t >= 0 && 10.0 * t < 4294967295.5) {
        FUZZ_CHECK(meta.threshold_tenths == round_even(10.0 * t), "threshold %g gives tenths %u", t,
                   meta.threshold_tenths);
    }

    const vak::WordVec words = result.words.to_words();
    FUZZ_CHECK(words.size() == result.words.size(), "the stream's size is that of its words");
    CanonicalReader reader(words, depth);
    check_metadata_block(reader, width, height, image.side, depth, meta.threshold_tenths);
    reader.read_tree(image.side);
    FUZZ_CHECK(reader.at_end(), "words after the tree");

    PlainEncoder plain{image, t, {}};
    plain.node(0, 0, image.side);
    FUZZ_CHECK(words.size() == 10 + plain.out.size() &&
                   std::equal(plain.out.begin(), plain.out.end(), words.begin() + 10),
               "the tree differs from the plain encoder's (%zu words, not %zu)", words.size() - 10,
               plain.out.size());

    const vak::image::DecodeResult decoded =
        vak::image::decode_quadtree(words.data(), words.size());
    FUZZ_CHECK(decoded.error == nullptr, "own stream refused: %s", decoded.error);
    FUZZ_CHECK(decoded.pixels.size() == length, "decoded %zu bytes", decoded.pixels.size());
    FUZZ_CHECK(decoded.metadata.width == width && decoded.metadata.height == height &&
                   decoded.metadata.root_size == image.side &&
                   decoded.metadata.bit_depth == depth &&
                   decoded.metadata.threshold_tenths == (meta.threshold_tenths & 63),
               "decoded metadata differs");
    if (t == 0.0) {
        for (std::size_t i = 0; i < length; ++i) {
            const std::uint8_t expected = image.palette[image.level_of[pixels[i]]];
            FUZZ_CHECK(decoded.pixels[i] == expected, "byte %zu decodes to %u, not %u", i,
                       decoded.pixels[i], expected);
        }
    }
    return 0;
}
