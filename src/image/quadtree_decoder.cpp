#include "image/quadtree_decoder.hpp"

#include <array>

#include "image/paint_canvas.hpp"
#include "image/traversal_path.hpp"

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


enum class Phase : std::uint8_t { kBeforeMetadata, kInMetadata, kImage };

class Decoder {
public:
    explicit Decoder(DecodeResult& result) : result_(result) {}

    // Each returns the error message of the word, or nullptr.
    const char* take(std::uint32_t word) {
        const ImageWord w = classify_word(word);
        if (w.kind == WordKind::kForeign) return nullptr;
        switch (phase_) {
            case Phase::kBeforeMetadata: return before_metadata(w);
            case Phase::kInMetadata: return in_metadata(w);
            case Phase::kImage: return in_image(w);
        }
        return nullptr;
    }

    const char* finish() const {
        if (phase_ == Phase::kInMetadata) return kEndedInMetadata;
        if (triplet_open_) return kEndedInTriplet;
        if (begin_count_ != 1 || end_count_ != 1) return kFramingCount;
        if (!path_.at_root()) return kUnbalancedDepth;
        if (!colour_seen_ || !paint_seen_) return kMissingColorOrPaint;
        return nullptr;
    }

    // After a successful pass: completes the picture.
    void render() { canvas_.finish(); }

private:
    const char* before_metadata(const ImageWord& w) {
        if (w.kind == WordKind::kPayload) return kUnexpectedPayload;
        if (w.selector != kMeta) return kCommandBeforeMetadata;
        if (w.value == kMetaBeginArg) {
            ++begin_count_;
            phase_ = Phase::kInMetadata;
            return nullptr;
        }
        return w.value == kMetaEndArg ? kEndWithoutBegin : kInvalidMetaArg;
    }

    const char* in_metadata(const ImageWord& w) {
        if (w.kind == WordKind::kPayload) {
            fields_[w.selector] = w.value;  // a repeated field keeps its last value
            field_present_[w.selector] = true;
            return nullptr;
        }
        if (w.selector != kMeta) return kCommandInMetadata;
        if (w.value == kMetaBeginArg) return kNestedBegin;
        return w.value == kMetaEndArg ? close_metadata() : kInvalidMetaArg;
    }

    const char* in_image(const ImageWord& w) {
        if (w.kind == WordKind::kPayload) return colour_payload(w.selector, w.value);
        const std::uint32_t repeat = w.value != 0 ? w.value : 1;
        switch (w.selector) {
            case kDescend0:
            case kDescend1:
            case kDescend2:
            case kDescend3:
                path_.descend(w.selector, repeat);
                return nullptr;
            case kPaint:
                paint_seen_ = true;
                if (const Node* node = path_.current_inside()) canvas_.paint(*node, colour_);
                return nullptr;
            case kSetColor:
                if (triplet_open_) return kIncompletePriorTriplet;
                channel_present_ = {};
                channel_level_ = {};
                colour_seen_ = true;
                triplet_open_ = true;
                return nullptr;
            case kBacktrack:
                return path_.backtrack(repeat) ? nullptr : kBacktrackUnderflow;
            default:  // kMeta
                if (w.value == kMetaBeginArg) return kDuplicateMetadata;
                return w.value == kMetaEndArg ? kEndWithoutBegin : kInvalidMetaArg;
        }
    }

    const char* close_metadata() {
        for (bool present : field_present_) {
            if (!present) return kMissingFields;
        }
        const std::uint32_t root = split_value(kRootHigh, kRootLow);
        if (root == 0) return kInvalidRoot;
        ImageMetadata& meta = result_.metadata;
        meta.width = split_value(kWidthHigh, kWidthLow);
        meta.height = split_value(kHeightHigh, kHeightLow);
        meta.root_size = root;
        const std::uint8_t depth_field = fields_[kBitDepthField];
        meta.bit_depth = depth_field == 0 ? 1 : (depth_field > kMaxBitDepth ? kMaxBitDepth : depth_field);
        meta.threshold_tenths = fields_[kTenthsField];

        result_.pixels.assign(std::size_t{meta.width} * meta.height * kChannels, 0);
        path_.reset(Node{0, 0, root}, meta.width, meta.height);
        canvas_.reset(result_.pixels.data(), meta.width, meta.height);
        palette_ = build_palette(meta.bit_depth);
        ++end_count_;
        phase_ = Phase::kImage;
        return nullptr;
    }

    std::uint32_t split_value(MetaField high, MetaField low) const {
        return std::uint32_t{fields_[high]} * 64 + fields_[low];
    }

    const char* colour_payload(std::uint8_t channel, std::uint8_t level) {
        if (!triplet_open_) return kUnexpectedPayload;
        if (channel >= kChannels) return kNonColorPayload;
        if (channel_present_[channel]) return kDuplicateChannel;
        channel_present_[channel] = true;
        channel_level_[channel] = level;
        if (!(channel_present_[0] && channel_present_[1] && channel_present_[2])) return nullptr;
        for (std::uint8_t l : channel_level_) {
            if (l >= palette_.size) return kLevelOutsidePalette;
        }
        for (std::size_t c = 0; c < kChannels; ++c) colour_[c] = palette_.entries[channel_level_[c]];
        triplet_open_ = false;
        return nullptr;
    }

    DecodeResult& result_;
    Phase phase_ = Phase::kBeforeMetadata;
    unsigned begin_count_ = 0;
    unsigned end_count_ = 0;
    std::array<std::uint8_t, kMetaFieldCount> fields_{};
    std::array<bool, kMetaFieldCount> field_present_{};
    Palette palette_;
    TraversalPath path_;
    PaintCanvas canvas_;
    bool triplet_open_ = false;
    std::array<bool, kChannels> channel_present_{};
    std::array<std::uint8_t, kChannels> channel_level_{};
    Colour colour_{};
    bool colour_seen_ = false;
    bool paint_seen_ = false;
};

}  // namespace

DecodeResult decode_quadtree(const std::uint32_t* words, std::size_t count) {
    DecodeResult result;
    Decoder decoder(result);
    for (std::size_t i = 0; i < count; ++i) {
        if (const char* error = decoder.take(words[i])) {
            result.error = error;
            break;
        }
    }
    if (result.error == nullptr) result.error = decoder.finish();
    if (result.error != nullptr) {
        result.pixels = ByteVec();  // no partial image
    } else {
        decoder.render();
    }
    return result;
}

}  // namespace vak::image
