#include "image/quadtree_decoder.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "common/interrupt.hpp"

namespace vak::image {

namespace {

#define VAK_STREAM_ERROR(reason) "invalid enhanced stream: " reason

constexpr const char* kUnexpectedPayload = VAK_STREAM_ERROR("unexpected data payload");
constexpr const char* kCommandBeforeMetadata =
    VAK_STREAM_ERROR("image commands appeared before metadata was complete");
constexpr const char* kEndWithoutBegin = VAK_STREAM_ERROR("META_END without META_BEGIN");
constexpr const char* kInvalidMetaArg = VAK_STREAM_ERROR("invalid META command arg");
constexpr const char* kCommandInMetadata =
    VAK_STREAM_ERROR("enhanced command encountered while metadata block is open");
constexpr const char* kNestedBegin = VAK_STREAM_ERROR("nested META_BEGIN");
constexpr const char* kDuplicateMetadata = VAK_STREAM_ERROR("duplicate metadata block");
constexpr const char* kIncompletePriorTriplet = VAK_STREAM_ERROR("incomplete prior color triplet");
constexpr const char* kBacktrackUnderflow = VAK_STREAM_ERROR("backtrack underflow");
constexpr const char* kMissingFields = VAK_STREAM_ERROR("missing required metadata fields");
constexpr const char* kInvalidRoot = VAK_STREAM_ERROR("invalid root in metadata");
constexpr const char* kNonColorPayload = VAK_STREAM_ERROR("non-color data outside metadata block");
constexpr const char* kDuplicateChannel = VAK_STREAM_ERROR("duplicate color channel payload");
constexpr const char* kLevelOutsidePalette = VAK_STREAM_ERROR("color level outside palette");
constexpr const char* kEndedInMetadata = VAK_STREAM_ERROR("ended with open metadata block");
constexpr const char* kEndedInTriplet = VAK_STREAM_ERROR("ended with incomplete color triplet");
constexpr const char* kFramingCount = VAK_STREAM_ERROR("metadata framing count invalid");
constexpr const char* kUnbalancedDepth = VAK_STREAM_ERROR("ended with unbalanced traversal depth");
constexpr const char* kMissingColorOrPaint =
    VAK_STREAM_ERROR("missing required SET_COLOR/PAINT sequence");

#undef VAK_STREAM_ERROR

// Words between two looks for an interrupt.
constexpr std::size_t kPollWords = std::size_t{1} << 16;

// The colour payloads of channels 0, 1 and 2, in this order (ignored bits aside).
bool is_colour_group_tail(const std::uint32_t* w) {
    constexpr std::uint32_t kTested =
        kImageWordTestMask | kPayloadKindBit | (kSelectorMask << kSelectorShift);
    return (w[0] & kTested) == payload_word(0, 0) && (w[1] & kTested) == payload_word(1, 0) &&
           (w[2] & kTested) == payload_word(2, 0);
}

// DESCEND into some quadrant, repeat count 1, no ignored bits set.
bool is_plain_descend(std::uint32_t w) {
    return ((w - descend_word(0)) & ~(std::uint32_t{3} << kSelectorShift)) == 0;
}

// Two consecutive words as one value (the first in the low half), so that a
// pair is compared at once.
std::uint64_t word_pair(const std::uint32_t* w) {
    std::uint64_t pair = 0;
    std::memcpy(&pair, w, sizeof pair);
    return pair;
}
constexpr std::uint64_t pair_of(std::uint32_t first, std::uint32_t second) {
    return std::uint64_t{second} << 32 | first;
}
// How a leaf ends in the encoder's streams: PAINT, then BACKTRACK to the parent.
constexpr std::uint64_t kPaintBacktrack = pair_of(kPaintWord, kBacktrackWord);

}  // namespace

const char* StreamDecoder::read_metadata() {
    while (phase_ != Phase::kImage && next_ < count_) {
        if (next_ % kPollWords == 0) interrupt::poll();
        if (const char* error = take_outside_image(words_[next_++])) return error;
    }
    return phase_ == Phase::kImage ? nullptr : end_of_stream();
}

const char* StreamDecoder::read_image(std::uint8_t* pixels) {
    std::fill_n(pixels, pixel_bytes(), std::uint8_t{0});
    path_.reset(Node{0, 0, metadata_.root_size}, metadata_.width, metadata_.height);
    canvas_.reset(pixels, metadata_.width, metadata_.height);
    for (std::size_t begin = next_; begin < count_; begin += kPollWords) {
        interrupt::poll();
        const std::size_t end = count_ - begin < kPollWords ? count_ : begin + kPollWords;
        if (const char* error = read_image_words(words_ + begin, words_ + end)) return error;
    }
    next_ = count_;
    if (const char* error = end_of_stream()) return error;
    canvas_.finish();
    return nullptr;
}

const char* StreamDecoder::end_of_stream() const {
    if (phase_ == Phase::kInMetadata) return kEndedInMetadata;
    if (triplet_open_) return kEndedInTriplet;
    if (begin_count_ != 1 || end_count_ != 1) return kFramingCount;
    if (!path_.at_root()) return kUnbalancedDepth;
    if (!colour_seen_ || !paint_seen_) return kMissingColorOrPaint;
    return nullptr;
}

const char* StreamDecoder::take_outside_image(std::uint32_t word) {
    const ImageWord w = classify_word(word);
    if (w.kind == WordKind::kForeign) return nullptr;
    if (phase_ == Phase::kBeforeMetadata) {
        if (w.kind == WordKind::kPayload) return kUnexpectedPayload;
        if (w.selector != kMeta) return kCommandBeforeMetadata;
        if (w.value == kMetaBeginArg) {
            ++begin_count_;
            phase_ = Phase::kInMetadata;
            return nullptr;
        }
        return w.value == kMetaEndArg ? kEndWithoutBegin : kInvalidMetaArg;
    }
    if (w.kind == WordKind::kPayload) {
        fields_[w.selector] = w.value;  // a repeated field keeps its last value
        field_present_[w.selector] = true;
        return nullptr;
    }
    if (w.selector != kMeta) return kCommandInMetadata;
    if (w.value == kMetaBeginArg) return kNestedBegin;
    return w.value == kMetaEndArg ? close_metadata() : kInvalidMetaArg;
}

const char* StreamDecoder::close_metadata() {
    for (bool present : field_present_) {
        if (!present) return kMissingFields;
    }
    const auto split_value = [this](MetaField high, MetaField low) {
        return std::uint32_t{fields_[high]} * 64 + fields_[low];
    };
    const std::uint32_t root = split_value(kRootHigh, kRootLow);
    if (root == 0) return kInvalidRoot;
    metadata_.width = split_value(kWidthHigh, kWidthLow);
    metadata_.height = split_value(kHeightHigh, kHeightLow);
    metadata_.root_size = root;
    const std::uint8_t depth_field = fields_[kBitDepthField];
    metadata_.bit_depth =
        depth_field == 0 ? 1 : (depth_field > kMaxBitDepth ? kMaxBitDepth : depth_field);
    metadata_.threshold_tenths = fields_[kTenthsField];
    palette_ = build_palette(metadata_.bit_depth);
    ++end_count_;
    phase_ = Phase::kImage;
    return nullptr;
}

// The image phase: one switch per word over its kind and selector bits. Most
// words of the encoder's streams belong to leaves (DESCEND, an optional colour
// group, PAINT, BACKTRACK); such a leaf is taken in one step, which paints the
// child without moving the path down and up.
const char* StreamDecoder::read_image_words(const std::uint32_t* word, const std::uint32_t* end) {
    constexpr unsigned kPayload = kPayloadKindBit >> kSelectorShift;  // payload selectors from 8
    for (; word != end; ++word) {
        const std::uint32_t w = *word;
        if (is_plain_descend(w)) {
            const std::uint32_t* leaf = word + 1;
            const std::ptrdiff_t left = end - leaf;
            if (left >= 2 && word_pair(leaf) == kPaintBacktrack) {
                paint_child(w);
                word += 2;
                continue;
            }
            if (left >= 6 && leaf[0] == kSetColorWord && !triplet_open_ &&
                is_colour_group_tail(leaf + 1) && word_pair(leaf + 4) == kPaintBacktrack) {
                const char* error =
                    set_colour(leaf[1] & kValueMask, leaf[2] & kValueMask, leaf[3] & kValueMask);
                if (error != nullptr) return error;
                colour_seen_ = true;
                channels_present_ = kAllChannels;
                paint_child(w);
                word += 6;
                continue;
            }
        }
        if ((w & kImageWordTestMask) != kImageWordPattern) continue;
        const auto value = static_cast<std::uint8_t>(w & kValueMask);
        const std::uint32_t repeat = value != 0 ? value : 1;
        switch ((w >> kSelectorShift) & 0xFu) {
            case kDescend0:
            case kDescend1:
            case kDescend2:
            case kDescend3: path_.descend((w >> kSelectorShift) & 3u, repeat); break;
            case kPaint:
                paint_seen_ = true;
                if (const Node* node = path_.current_inside()) canvas_.paint(*node, colour_);
                break;
            case kSetColor:
                if (triplet_open_) return kIncompletePriorTriplet;
                colour_seen_ = true;
                if (end - word > 3 && is_colour_group_tail(word + 1)) {
                    // The three payloads follow in channel order: one step for the group.
                    const char* error = set_colour(word[1] & kValueMask, word[2] & kValueMask,
                                                   word[3] & kValueMask);
                    if (error != nullptr) return error;
                    channels_present_ = kAllChannels;
                    word += 3;
                    break;
                }
                channels_present_ = 0;
                triplet_open_ = true;
                break;
            case kBacktrack:
                if (!path_.backtrack(repeat)) return kBacktrackUnderflow;
                break;
            case kMeta:
                if (value == kMetaBeginArg) return kDuplicateMetadata;
                return value == kMetaEndArg ? kEndWithoutBegin : kInvalidMetaArg;
            case kPayload + 0:
            case kPayload + 1:
            case kPayload + 2:
                if (const char* error = colour_payload((w >> kSelectorShift) & 3u, value))
                    return error;
                break;
            default:  // payloads with selectors 3..7
                return triplet_open_ ? kNonColorPayload : kUnexpectedPayload;
        }
    }
    return nullptr;
}

// PAINT of the child that the DESCEND word `descend` leads to, from the current node.
void StreamDecoder::paint_child(std::uint32_t descend) {
    paint_seen_ = true;
    if (const Node* node = path_.current_inside()) {
        canvas_.paint(child_of(*node, (descend >> kSelectorShift) & 3u), colour_);
    }
}

const char* StreamDecoder::colour_payload(unsigned channel, std::uint8_t level) {
    if (!triplet_open_) return kUnexpectedPayload;
    const unsigned bit = 1u << channel;
    if ((channels_present_ & bit) != 0) return kDuplicateChannel;
    channels_present_ |= bit;
    channel_level_[channel] = level;
    if (channels_present_ != kAllChannels) return nullptr;
    triplet_open_ = false;
    return set_colour(channel_level_[0], channel_level_[1], channel_level_[2]);
}

// A completed triplet becomes the current colour.
const char* StreamDecoder::set_colour(std::uint32_t level0, std::uint32_t level1,
                                      std::uint32_t level2) {
    // The palette size is a power of two: some level reaches past it exactly
    // when their bitwise or does.
    if ((level0 | level1 | level2) >= palette_.size) return kLevelOutsidePalette;
    colour_ = {palette_.entries[level0], palette_.entries[level1], palette_.entries[level2]};
    return nullptr;
}

}  // namespace vak::image
