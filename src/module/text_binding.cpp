// encode_text: takes the str's UTF-8 into storage of the call's own (a bytes
// object, or for a long str its pieces joined in a vector; the str itself keeps
// no UTF-8 copy afterwards), encodes it with the lock released, and builds the
// list from the two-byte output units. A long text is encoded piece by piece,
// on a second thread and this one, while this one builds the items of the
// pieces done.
#include <atomic>
#include <cstdlib>
#include <optional>

#include "common/heap_allocator.hpp"
#include "module/call_frame.hpp"
#include "module/conversions.hpp"
#include "module/entry_points.hpp"
#include "module/py_ref.hpp"
#include "module/text_list.hpp"
#include "module/utf8_text.hpp"
#include "text/encoder.hpp"
#include "text/piecewise_encoder.hpp"

namespace vak::py {

namespace {

// From this many bytes of UTF-8 on, the encoding runs on a second thread while
// this one builds the list. Below it a thread saves less than it costs (at 64
// KiB of ASCII text a call took 1.14x its one-thread time; from 256 KiB on every
// kind of text measured took less).
constexpr std::size_t kOverlapFromBytes = std::size_t{256} << 10;
// The least input of a piece encoded there.
constexpr std::size_t kPieceBytes = std::size_t{64} << 10;

// Development aids: the environment may set both (in bytes, decimal), so that
// tests cut short texts into many pieces or keep long ones in one.
constexpr const char* kOverlapFromSwitch = "VAK_ORN_KERNEL_TEXT_OVERLAP_FROM";
constexpr const char* kPieceBytesSwitch = "VAK_ORN_KERNEL_TEXT_PIECE_BYTES";

std::size_t setting(const char* name, std::size_t fallback) noexcept {
    const char* value = std::getenv(name);
    if (value == nullptr || *value < '0' || *value > '9') return fallback;
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(value, &end, 10);
    return *end == '\0' ? static_cast<std::size_t>(parsed) : fallback;
}

struct OverlapSettings {
    std::size_t from_bytes;
    std::size_t piece_bytes;
};

// Read once; threads that read at once store the same values. (No lazily
// initialised static: its lock could be left held in a child forked meanwhile.)
OverlapSettings overlap_settings() noexcept {
    static std::atomic<bool> read{false};
    static std::atomic<std::size_t> from_bytes{0};
    static std::atomic<std::size_t> piece_bytes{0};
    if (!read.load(std::memory_order_acquire)) {
        from_bytes.store(setting(kOverlapFromSwitch, kOverlapFromBytes), std::memory_order_relaxed);
        piece_bytes.store(setting(kPieceBytesSwitch, kPieceBytes), std::memory_order_relaxed);
        read.store(true, std::memory_order_release);
    }
    return {from_bytes.load(std::memory_order_relaxed),
            piece_bytes.load(std::memory_order_relaxed)};
}

// The length of the whole list as the first piece predicts it (never more than
// the encoder's bound).
std::size_t guess_length(const text::PiecewiseEncoder::Piece& first, std::size_t text_bytes,
                         std::size_t max_units) {
    const double guess = static_cast<double>(first.count) / static_cast<double>(first.text_end) *
                         static_cast<double>(text_bytes);
    return guess >= static_cast<double>(max_units) ? max_units : static_cast<std::size_t>(guess);
}

// The text is encoded piece by piece on a thread of its own, and here whenever
// the next piece is not done yet; this thread turns the pieces' units into items
// in text order, with the lock held, and waits without it when there is nothing
// else to do. Nothing (nullopt) when no thread can be started.
std::optional<PyObject*> encode_beside_list(Utf8Text& utf8, std::size_t piece_bytes) {
    using State = text::PiecewiseEncoder::State;
    const std::size_t text_bytes = utf8.size();
    text::PiecewiseEncoder encoder(utf8.data(), text_bytes, piece_bytes);
    if (!run_released([&] { encoder.prepare(); })) return nullptr;
    if (!encoder.start_thread()) return std::nullopt;
    TextListBuilder list;
    std::size_t guess = 0;
    for (;;) {
        text::PiecewiseEncoder::Piece piece{};
        if (encoder.take_next(piece)) {
            if (guess == 0) guess = guess_length(piece, text_bytes, encoder.max_units());
            if (!list.add(piece.units, piece.count, guess)) return nullptr;
            continue;
        }
        const State state = encoder.state();
        if (state == State::kOutOfMemory) return PyErr_NoMemory();
        if (state == State::kDone) {
            utf8.release();  // every piece is encoded
            if (encoder.all_taken()) break;
            continue;
        }
        bool encoded = false;
        if (!run_released([&] { encoded = encoder.encode_one(); })) return nullptr;
        // Nothing left to claim: the own thread is at the next piece.
        if (!encoded && !run_released([&] { encoder.wait_for_next(); })) return nullptr;
    }
    return list.finish();
}

}  // namespace

PyObject* encode_text(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kParams[] = {"text"};
        static const Signature kSig{"encode_text", kParams, 1, 1};
        PyObject* slots[1] = {};
        if (!bind_arguments(kSig, args, nargs, kwnames, slots)) return nullptr;
        if (!is_str(slots[0])) {
            type_check_failure(slots[0], "PyString");
            return argument_error("text");
        }
        // Lone surrogates raise UnicodeEncodeError here.
        Utf8Text utf8;
        if (!utf8.read(slots[0])) return argument_error("text");
        const OverlapSettings overlap = overlap_settings();
        if (utf8.size() > 0 && utf8.size() >= overlap.from_bytes) {
            if (std::optional<PyObject*> list = encode_beside_list(utf8, overlap.piece_bytes)) {
                return *list;
            }
            // No second thread to be had: as for a short text.
        }
        text::EncodedText units;
        // Only this call holds the bytes, so nothing changes them meanwhile.
        if (!run_released([&] { units = text::encode_text_units(utf8.data(), utf8.size()); })) {
            return nullptr;
        }
        utf8.release();  // not needed while the list is built
        return build_text_list(units);
    });
}

}  // namespace vak::py
