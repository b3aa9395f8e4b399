#include "text/encoder.hpp"

#include <cstring>
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
    ByteRun run;
    Vec<std::uint32_t> marks;
    Vec<std::uint32_t> scratch;

    void emit_direct(std::uint32_t cp) {
        run.flush(out);
        out.push_back(cp);
    }

    // A decomposed code point in final order goes to the output.
    void emit(std::uint32_t cp) {
        if (is_direct(cp)) {
            emit_direct(cp);
        } else {
            run.append_utf8(cp);
        }
    }

    // A starter closes the run of non-starters before it: they go out in
    // canonical order first. No non-starter is direct, so they only add bytes.
    void release_marks() {
        if (!marks.empty()) release_marks_slow();
    }

    void release_marks_slow() {
        if (marks.size() > 1) sort_marks(marks, scratch);
        for (std::uint32_t mark : marks) run.append_utf8(mark_code_point(mark));
        marks.clear();
    }

    void emit_part(std::uint32_t cp) {
        const std::uint8_t ccc = combining_class(cp);
        if (ccc != 0) {
            marks.push_back(pack_mark(cp, ccc));
        } else {
            release_marks();
            emit(cp);
        }
    }

    // One non-ASCII scalar value whose UTF-8 form is `bytes[0..length)`.
    void encode_scalar(std::uint32_t cp, const std::uint8_t* bytes, std::size_t length) {
        if (is_hangul_syllable(cp)) {
            std::uint32_t jamo[3];
            const std::size_t count = decompose_hangul(cp, jamo);
            release_marks();
            // Every conjoining jamo lies in U+1100..U+11FF: three UTF-8 bytes E1 xx xx.
            std::uint8_t* p = run.room(9);
            for (std::size_t k = 0; k < count; ++k, p += 3) {
                p[0] = 0xE1;
                p[1] = static_cast<std::uint8_t>(0x80 | ((jamo[k] >> 6) & 0x3F));
                p[2] = static_cast<std::uint8_t>(0x80 | (jamo[k] & 0x3F));
            }
            run.length += 3 * count;
            return;
        }
        const CanonicalMapping mapping = canonical_mapping(cp);
        if (mapping.length != 0) {
            for (std::size_t k = 0; k < mapping.length; ++k) emit_part(mapping.code_points[k]);
            return;
        }
        // Unchanged by decomposition: the usual case, served from the input bytes.
        const std::uint8_t ccc = combining_class(cp);
        if (ccc != 0) {
            marks.push_back(pack_mark(cp, ccc));
            return;
        }
        release_marks();
        if (is_direct(cp)) {
            emit_direct(cp);
        } else {
            run.append(bytes, length);
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
    // Eight bytes at a time: a continuation byte has bit 7 set and bit 6 clear.
    constexpr std::uint64_t kHighBits = 0x8080808080808080ull;
    std::size_t continuation = 0;
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t chunk;
        std::memcpy(&chunk, utf8 + i, 8);
        // One flag bit per continuation byte, moved to bit 0 and summed by a multiply.
        const std::uint64_t flags = (chunk & ~(chunk << 1) & kHighBits) >> 7;
        continuation += static_cast<std::size_t>((flags * 0x0101010101010101ull) >> 56);
    }
    for (; i < size; ++i) continuation += (utf8[i] & 0xC0) == 0x80;
    return size - continuation;
}

WordVec encode_text(const std::uint8_t* utf8, std::size_t size) {
    EncoderState state;
    state.out.reserve(count_code_points(utf8, size));

    std::size_t i = 0;
    while (i < size) {
        const std::uint8_t lead = utf8[i];
        if (lead >= 0x80) {
            std::uint32_t cp;
            const std::size_t length = decode_utf8(utf8, size, i, cp);
            state.encode_scalar(cp, utf8 + i, length);
            i += length;
            continue;
        }
        // ASCII: a starter without decomposition.
        state.release_marks();
        if (!is_direct_ascii(lead)) {
            state.run.append(utf8 + i, 1);
            ++i;
            continue;
        }
        // A stretch of direct ASCII characters is widened to words in one go.
        state.run.flush(state.out);
        std::size_t end = i + 1;
        while (end < size && is_direct_ascii(utf8[end])) ++end;
        reserve_more(state.out, end - i);
        if (end - i < 16) {  // a word or two between other characters
            for (std::size_t k = i; k < end; ++k) state.out.push_back(utf8[k]);
        } else {
            state.out.insert(state.out.end(), utf8 + i, utf8 + end);  // widens each byte
        }
        i = end;
    }
    state.release_marks();
    state.run.flush(state.out);
    return std::move(state.out);
}

}  // namespace vak::text
