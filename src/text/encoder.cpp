#include "text/encoder.hpp"

#include <utility>

#include "common/invariant.hpp"
#include "text/byte_pairs.hpp"
#include "text/decomposition.hpp"
#include "text/direct_set.hpp"

namespace vak::text {

namespace {

// The state of one encoding: output words, the pending byte run, and the
// non-starters waiting for canonical ordering.
struct EncoderState {
    WordVec out;
    ByteVec run;
    Vec<std::uint32_t> marks;
    Vec<std::uint32_t> scratch;

    // A decomposed code point in final order goes to the output.
    void emit(std::uint32_t cp) {
        if (is_direct(cp)) {
            flush_byte_run(run, out);
            out.push_back(cp);
        } else {
            append_utf8(run, cp);
        }
    }

    // A starter closes the run of non-starters before it: they go out in
    // canonical order first. No non-starter is direct, so they only add bytes.
    void release_marks() {
        if (marks.empty()) return;
        sort_marks(marks, scratch);
        for (std::uint32_t mark : marks) append_utf8(run, mark_code_point(mark));
        marks.clear();
    }

    void emit_decomposed(std::uint32_t cp) {
        std::uint32_t parts[kMaxDecomposition];
        const std::size_t count = decompose(cp, parts);
        for (std::size_t k = 0; k < count; ++k) {
            const std::uint8_t ccc = combining_class(parts[k]);
            if (ccc != 0) {
                marks.push_back(pack_mark(parts[k], ccc));
            } else {
                release_marks();
                emit(parts[k]);
            }
        }
    }
};

inline bool is_direct_ascii(std::uint8_t byte) noexcept { return byte < 0x80 && is_direct(byte); }

// Decodes the scalar value at `utf8[i]` and returns its length in bytes.
inline std::size_t decode_utf8(const std::uint8_t* utf8, std::size_t size, std::size_t i,
                               std::uint32_t& cp) noexcept {
    const std::uint8_t lead = utf8[i];
    std::size_t length;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        cp = lead & 0x0F;
    } else {
        VAK_EXPECT(lead >= 0xF0 && lead <= 0xF4, "text is well-formed UTF-8 (lead byte)");
        length = 4;
        cp = lead & 0x07;
    }
    VAK_EXPECT(length <= size - i, "text is well-formed UTF-8 (complete sequence)");
    for (std::size_t k = 1; k < length; ++k) cp = (cp << 6) | (utf8[i + k] & 0x3F);
    VAK_EXPECT(cp <= tables::kMaxCodePoint && (cp < 0xD800 || cp > 0xDFFF),
               "text is well-formed UTF-8 (scalar value)");
    return length;
}

}  // namespace

std::size_t count_code_points(const std::uint8_t* utf8, std::size_t size) noexcept {
    std::size_t count = 0;
    for (std::size_t i = 0; i < size; ++i) count += (utf8[i] & 0xC0) != 0x80;
    return count;
}

WordVec encode_text(const std::uint8_t* utf8, std::size_t size) {
    EncoderState state;
    state.out.reserve(count_code_points(utf8, size));
    state.run = new_byte_run();

    std::size_t i = 0;
    while (i < size) {
        const std::uint8_t lead = utf8[i];
        if (lead < 0x80) {
            // ASCII: a starter without decomposition. A stretch of direct ASCII
            // characters is widened to words in one go.
            state.release_marks();
            if (!is_direct_ascii(lead)) {
                state.run.push_back(lead);
                ++i;
                continue;
            }
            flush_byte_run(state.run, state.out);
            std::size_t end = i + 1;
            while (end < size && is_direct_ascii(utf8[end])) ++end;
            const std::size_t old = state.out.size();
            reserve_more(state.out, end - i);
            state.out.resize(old + (end - i));
            std::uint32_t* words = state.out.data() + old;
            for (std::size_t k = i; k < end; ++k) *words++ = utf8[k];
            i = end;
            continue;
        }
        std::uint32_t cp;
        i += decode_utf8(utf8, size, i, cp);
        state.emit_decomposed(cp);
    }
    state.release_marks();
    flush_byte_run(state.run, state.out);
    return std::move(state.out);
}

}  // namespace vak::text
