#include "text/encoder.hpp"

#include "common/interrupt.hpp"
#include "common/invariant.hpp"
#include "text/byte_pairs.hpp"
#include "text/simd_scans.hpp"
#include "text/unicode_tables.hpp"

namespace vak::text {

namespace {

// Input between two interrupt polls (a few tens of microseconds of work).
constexpr std::size_t kPollBytes = 64 * 1024;

struct Scalar {
    std::uint32_t cp;
    unsigned length;
};

// The scalar value of the non-ASCII character at `p`.
inline Scalar decode(const std::uint8_t* p, const std::uint8_t* end) noexcept {
    const std::uint8_t lead = p[0];
    if (lead < 0xE0) {
        VAK_EXPECT(lead >= 0xC2 && end - p >= 2, "text is well-formed UTF-8");
        return {(std::uint32_t{lead} & 0x1F) << 6 | (p[1] & 0x3F), 2};
    }
    if (lead < 0xF0) {
        VAK_EXPECT(end - p >= 3, "text is well-formed UTF-8");
        return {
            (std::uint32_t{lead} & 0x0F) << 12 | (std::uint32_t{p[1]} & 0x3F) << 6 | (p[2] & 0x3F),
            3};
    }
    VAK_EXPECT(lead <= 0xF4 && end - p >= 4, "text is well-formed UTF-8");
    const std::uint32_t cp = (std::uint32_t{lead} & 0x07) << 18 |
                             (std::uint32_t{p[1]} & 0x3F) << 12 |
                             (std::uint32_t{p[2]} & 0x3F) << 6 | (p[3] & 0x3F);
    VAK_EXPECT(cp <= tables::kMaxCodePoint, "text is well-formed UTF-8");
    return {cp, 4};
}

// The end of the stretch of plain starters (non-ASCII, not decomposed, not
// direct) that continues at `p`; it may end past `stop`, never inside a character.
inline const std::uint8_t* plain_stretch_end(const std::uint8_t* p, const std::uint8_t* stop,
                                             const std::uint8_t* end) noexcept {
    while (p < stop) {
        p = simd::skip_ideographs(p, stop);
        while (p < end && (*p & 0xC0) == 0x80) ++p;  // the rest of an ideograph
        if (p >= stop || *p < 0x80) break;
        const Scalar next = decode(p, end);
        if (tables::property(next.cp) != tables::kPropertyPlain) break;
        p += next.length;
    }
    return p;
}

// Encodes the characters that start before `stop`; returns where the next one starts.
const std::uint8_t* encode_span(UnitWriter& writer, const std::uint8_t* p, const std::uint8_t* stop,
                                const std::uint8_t* end) {
    while (p < stop) {
        const std::uint8_t lead = *p;
        if (lead < 0x80) {
            if (simd::is_direct_ascii(lead)) {
                std::uint8_t* units = writer.direct_units();
                const std::uint8_t* run_end = simd::widen_direct_ascii(p, stop, units);
                writer.advance(2 * static_cast<std::size_t>(run_end - p));
                p = run_end;
            } else {  // other ASCII: a starter that travels as a byte
                writer.starter_bytes(p, 1);
                ++p;
            }
            continue;
        }
        const Scalar scalar = decode(p, end);
        const std::uint16_t property = tables::property(scalar.cp);
        if (property == tables::kPropertyPlain) {
            const std::uint8_t* stretch_end = plain_stretch_end(p + scalar.length, stop, end);
            writer.starter_bytes(p, static_cast<std::size_t>(stretch_end - p));
            p = stretch_end;
            continue;
        }
        if (property < tables::kPropertyDirect) {
            writer.mark(p, scalar.length, property);
        } else if (property == tables::kPropertyHangul) {
            writer.hangul(scalar.cp);
        } else if (property == tables::kPropertyDirect) {
            writer.direct(scalar.cp);
        } else {
            writer.decomposition(tables::kDecompositionRecords[property - tables::kPropertyRecord]);
        }
        p += scalar.length;
    }
    return p;
}

}  // namespace

std::size_t max_words(const std::uint8_t* utf8, std::size_t size) noexcept {
    return simd::max_words(utf8, size);
}

EncodedText encode_text_units(const std::uint8_t* utf8, std::size_t size) {
    EncodedText encoded(max_words(utf8, size));
    encoded.set_size(encode_into(utf8, size, encoded.data()));
    return encoded;
}

std::size_t encode_into(const std::uint8_t* utf8, std::size_t size, std::uint8_t* out) {
    UnitWriter writer(out);
    const std::uint8_t* p = utf8;
    const std::uint8_t* const end = utf8 + size;
    while (p < end) {
        const std::uint8_t* stop =
            end - p > static_cast<std::ptrdiff_t>(kPollBytes) ? p + kPollBytes : end;
        p = encode_span(writer, p, stop, end);
        interrupt::poll();
    }
    return writer.finish();
}

const std::uint8_t* next_cut(const std::uint8_t* from, const std::uint8_t* end) noexcept {
    // A direct ASCII byte is never part of a longer character.
    return simd::find_direct_ascii(from, end);
}

}  // namespace vak::text
