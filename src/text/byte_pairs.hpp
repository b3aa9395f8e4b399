// Writing the encoder's output units (text/output_units.hpp) in one pass:
// direct words, the UTF-8 of everything else packed two bytes to a unit, and
// the canonical ordering of runs of non-starters, done in place.
//
// Byte runs need no buffer of their own: their bytes go straight to the output,
// and a direct character first pads a run that ended on an odd byte. A run of
// non-starters is written as it arrives while its classes do not decrease (the
// usual case); the first one out of order takes the run's marks written so far
// back as pending marks, the rest of the run joins them, and all are sorted and
// written when the next starter arrives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/heap_allocator.hpp"
#include "text/decomposition.hpp"
#include "text/output_units.hpp"
#include "text/unicode_tables.hpp"

namespace vak::text {

class UnitWriter {
public:
    // `out` has room for every unit the text can produce plus kUnitSlack bytes.
    explicit UnitWriter(std::uint8_t* out) noexcept : base_(out), out_(out) {}

    // Everything before a starter is final: pending marks are written.
    void close_marks() {
        if (last_class_ != 0) close_marks_slow();
    }

    // A direct character: closes the run (padding an odd last byte) and writes its word.
    void direct(std::uint32_t word) {
        close_marks();
        pad();
        out_[0] = static_cast<std::uint8_t>(kDirectTag | (word >> 8));
        out_[1] = static_cast<std::uint8_t>(word);
        out_ += 2;
    }

    // Where direct units for ASCII go; the caller has closed marks and writes
    // `count` units there, then calls advance(2 * count).
    std::uint8_t* direct_units() {
        close_marks();
        pad();
        return out_;
    }
    void advance(std::size_t bytes) noexcept { out_ += bytes; }

    // The UTF-8 of starters that are neither direct nor decomposed.
    void starter_bytes(const std::uint8_t* utf8, std::size_t length) {
        close_marks();
        std::memcpy(out_, utf8, length);
        out_ += length;
    }

    // One non-starter of class `ccc` (1 to 254), 2 to 4 bytes of UTF-8.
    void mark(const std::uint8_t* utf8, unsigned length, unsigned ccc) {
        if (ccc >= last_class_) {  // in order (never while marks are pending: their class is 255)
            if (last_class_ == 0) marks_start_ = out_;
            std::memcpy(out_, utf8, 2);
            if (length > 2) std::memcpy(out_ + 2, utf8 + 2, length - 2);
            out_ += length;
            last_class_ = ccc;
            return;
        }
        mark_out_of_order(utf8, length, ccc);
    }

    // A Hangul syllable: its two or three conjoining jamo, nine bytes at most.
    void hangul(std::uint32_t cp);

    // A character with a tabled full decomposition.
    void decomposition(const tables::DecompositionRecord& record) {
        if (!record.simple) return decomposition_in_parts(record);
        if (record.starter_word != 0) {
            direct(record.starter_word);
        } else {
            close_marks();
            std::memcpy(out_, record.utf8, tables::kRecordBytes);  // within the slack
            out_ += record.starter_length;
        }
        if (record.parts > 1) {  // non-starters in class order open a new run of marks
            marks_start_ = out_;
            std::memcpy(out_, record.utf8 + record.starter_length, tables::kRecordBytes);
            out_ += record.length - record.starter_length;
            last_class_ = record.last_class;
        }
    }

    // Closes the last run; returns the number of units written.
    std::size_t finish() {
        close_marks();
        pad();
        return static_cast<std::size_t>(out_ - base_) / 2;
    }

private:
    static constexpr std::uint8_t kPending = 255;  // last_class_ while marks are pending

    void pad() noexcept {
        if ((out_ - base_) & 1) *out_++ = 0x00;
    }

    void close_marks_slow();
    void mark_out_of_order(const std::uint8_t* utf8, unsigned length, unsigned ccc);
    void decomposition_in_parts(const tables::DecompositionRecord& record);

    std::uint8_t* base_;
    std::uint8_t* out_;
    std::uint8_t* marks_start_ = nullptr;  // where the open run of non-starters begins
    std::uint8_t last_class_ = 0;          // class of its last mark; 0 when none is open
    Vec<PendingMark> pending_;
    Vec<PendingMark> scratch_;
};

}  // namespace vak::text
