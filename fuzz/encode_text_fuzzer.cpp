// Fuzzes the text encoder. The input is the text's UTF-8; inputs that are not
// well-formed UTF-8 are skipped (the encoder is only ever given the strict UTF-8
// of a str).
//
// The words must match a plain model (decompose each code point, stably sort
// each run of non-starters by class, write direct characters as words and pack
// the UTF-8 of everything else in pairs), and unpacking them must give NFD text
// that encodes to the same words again. The model's Unicode data is its own
// (nfd_reference.hpp), not the encoder's tables.
#include <algorithm>
#include <vector>

#include "fuzz_support.hpp"
#include "nfd_reference.hpp"
#include "text/text_words.hpp"

namespace {

using CodePoints = std::vector<std::uint32_t>;

bool is_direct(std::uint32_t cp) {
    if (cp == 0x09 || cp == 0x0A || cp == 0x0D) return true;
    if (cp >= 0x20 && cp <= 0x7E) return true;
    switch (cp) {
        case 0xC6:
        case 0xE6:
        case 0xD8:
        case 0xF8:
        case 0xDF:
        case 0x152:
        case 0x153: return true;
        default: return false;
    }
}

// Strict UTF-8 (no overlong forms, surrogates or values above U+10FFFF).
bool decode_utf8(const std::uint8_t* s, std::size_t n, CodePoints& out) {
    std::size_t i = 0;
    while (i < n) {
        const std::uint8_t lead = s[i];
        std::size_t length;
        std::uint32_t cp;
        std::uint8_t low = 0x80, high = 0xBF;  // the allowed range of the second byte
        if (lead < 0x80) {
            out.push_back(lead);
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            cp = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            cp = lead & 0x0F;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            cp = lead & 0x07;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (n - i < length) return false;
        for (std::size_t k = 1; k < length; ++k) {
            const std::uint8_t b = s[i + k];
            if (b < (k == 1 ? low : 0x80) || b > (k == 1 ? high : 0xBF)) return false;
            cp = (cp << 6) | (b & 0x3F);
        }
        out.push_back(cp);
        i += length;
    }
    return true;
}

void append_utf8(std::uint32_t cp, std::vector<std::uint8_t>& out) {
    if (cp < 0x80) {
        out.push_back(static_cast<std::uint8_t>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<std::uint8_t>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<std::uint8_t>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<std::uint8_t>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<std::uint8_t>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<std::uint8_t>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<std::uint8_t>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<std::uint8_t>(0x80 | (cp & 0x3F)));
    }
}

bool is_hangul_syllable(std::uint32_t cp) {
    return cp >= 0xAC00 && cp <= 0xD7A3;
}

// NFD by the book.
CodePoints nfd(const CodePoints& text) {
    CodePoints out;
    for (std::uint32_t cp : text) {
        if (is_hangul_syllable(cp)) {
            const std::uint32_t s = cp - 0xAC00;
            out.push_back(0x1100 + s / 588);
            out.push_back(0x1161 + (s % 588) / 28);
            if (s % 28 != 0) out.push_back(0x11A7 + s % 28);
            continue;
        }
        const nfd_reference::DecompositionEntry* decomposed = nfd_reference::decomposition(cp);
        if (decomposed == nullptr) {
            out.push_back(cp);
        } else {
            out.insert(out.end(), decomposed->parts, decomposed->parts + decomposed->length);
        }
    }
    auto by_class = [](std::uint32_t a, std::uint32_t b) {
        return nfd_reference::combining_class(a) < nfd_reference::combining_class(b);
    };
    for (std::size_t i = 0; i < out.size();) {
        std::size_t j = i;
        while (j < out.size() && nfd_reference::combining_class(out[j]) != 0) ++j;
        std::stable_sort(out.begin() + static_cast<std::ptrdiff_t>(i),
                         out.begin() + static_cast<std::ptrdiff_t>(j), by_class);
        i = j + 1;
    }
    return out;
}

std::vector<std::uint32_t> pack(const CodePoints& decomposed) {
    std::vector<std::uint32_t> words;
    std::vector<std::uint8_t> run;
    auto flush = [&] {
        for (std::size_t i = 0; i < run.size(); i += 2) {
            const std::uint8_t second = i + 1 < run.size() ? run[i + 1] : 0x00;
            words.push_back(0x40000u + run[i] * 256u + second);
        }
        run.clear();
    };
    for (std::uint32_t cp : decomposed) {
        if (is_direct(cp)) {
            flush();
            words.push_back(cp);
        } else {
            append_utf8(cp, run);
        }
    }
    flush();
    return words;
}

// The text behind the words. A run whose last word ends in 0x00 may have ended
// on an odd byte (the 0x00 pads) or on a real U+0000: both encode alike, and
// this takes the padding reading.
std::vector<std::uint8_t> unpack(const vak::WordVec& words) {
    std::vector<std::uint8_t> text;
    std::size_t i = 0;
    while (i < words.size()) {
        const std::uint32_t w = words[i];
        if (w < 0x40000) {
            FUZZ_CHECK(is_direct(w), "word %zu (0x%X) is neither direct nor a byte pair", i, w);
            append_utf8(w, text);
            ++i;
            continue;
        }
        FUZZ_CHECK(w <= 0x4FFFF, "word %zu (0x%X) is neither direct nor a byte pair", i, w);
        std::size_t j = i;
        for (; j < words.size() && words[j] >= 0x40000; ++j) {
            FUZZ_CHECK(words[j] <= 0x4FFFF, "word %zu (0x%X) is not a byte pair", j, words[j]);
            text.push_back(static_cast<std::uint8_t>(words[j] >> 8));
            text.push_back(static_cast<std::uint8_t>(words[j]));
        }
        if ((words[j - 1] & 0xFF) == 0) text.pop_back();
        i = j;
    }
    return text;
}

void check_nfd_properties(const CodePoints& text) {
    std::uint8_t previous_class = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const std::uint32_t cp = text[i];
        FUZZ_CHECK(!is_hangul_syllable(cp) && nfd_reference::decomposition(cp) == nullptr,
                   "U+%04X at %zu has a canonical decomposition", cp, i);
        const std::uint8_t cls = nfd_reference::combining_class(cp);
        FUZZ_CHECK(cls == 0 || cls >= previous_class, "U+%04X (class %u) at %zu follows class %u",
                   cp, cls, i, previous_class);
        previous_class = cls;
    }
}

// A byte run never carries a direct character: those always travel as words.
void check_runs_hold_no_direct_character(const vak::WordVec& words) {
    std::vector<std::uint8_t> run;
    auto check = [&] {
        if (run.empty()) return;
        if (run.back() == 0) run.pop_back();  // padding, or U+0000, which is not direct
        CodePoints cps;
        FUZZ_CHECK(decode_utf8(run.data(), run.size(), cps), "a byte run is not UTF-8");
        for (std::uint32_t cp : cps) FUZZ_CHECK(!is_direct(cp), "direct U+%04X in a byte run", cp);
        run.clear();
    };
    for (std::uint32_t w : words) {
        if (w >= 0x40000) {
            run.push_back(static_cast<std::uint8_t>(w >> 8));
            run.push_back(static_cast<std::uint8_t>(w));
        } else {
            check();
        }
    }
    check();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::report_kernel_path();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CodePoints text;
    if (!decode_utf8(data, size, text)) return -1;  // not a str's UTF-8: keep it out of the corpus

    const vak::WordVec words = vak::text::encode_text(data, size);
    const std::vector<std::uint32_t> expected = pack(nfd(text));
    FUZZ_CHECK(words.size() == expected.size() &&
                   std::equal(expected.begin(), expected.end(), words.begin()),
               "%zu words differ from the model's %zu", words.size(), expected.size());

    const std::vector<std::uint8_t> unpacked = unpack(words);
    CodePoints decomposed;
    FUZZ_CHECK(decode_utf8(unpacked.data(), unpacked.size(), decomposed),
               "unpacked words are not UTF-8");
    check_nfd_properties(decomposed);
    check_runs_hold_no_direct_character(words);

    const vak::WordVec again = vak::text::encode_text(unpacked.data(), unpacked.size());
    FUZZ_CHECK(again == words, "encoding the unpacked text changes the words");
    return 0;
}
