#include "module/integer_buffer.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "common/stream_copy.hpp"
#include "module/call_frame.hpp"

namespace vak::py {

namespace {

// A buffer holds what iterating its object gives only when the object's type
// iterates and indexes the way the type that exports the buffer does. A subclass
// that overrides __iter__ or __getitem__ (a masked array, say) keeps the item
// path, so that both paths always agree.
bool iterates_like_its_buffer(PyTypeObject* type) {
    void* const export_slot = PyType_GetSlot(type, Py_bf_getbuffer);
    PyTypeObject* exporter = type;
    for (;;) {
        auto* base = static_cast<PyTypeObject*>(PyType_GetSlot(exporter, Py_tp_base));
        if (base == nullptr || PyType_GetSlot(base, Py_bf_getbuffer) != export_slot) break;
        exporter = base;
    }
    if (exporter == type) return true;
    for (int slot : {Py_tp_iter, Py_sq_item, Py_mp_subscript}) {
        if (PyType_GetSlot(type, slot) != PyType_GetSlot(exporter, slot)) return false;
    }
    return true;
}

// Releases a filled Py_buffer on every path.
class BufferView {
public:
    explicit BufferView(PyObject* obj) {
        // Lists and tuples export nothing: skip making and discarding an error for them.
        if (!PyObject_CheckBuffer(obj) || !iterates_like_its_buffer(Py_TYPE(obj))) return;
        filled_ = PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) == 0;
        // A refused export: the item path reads the object instead. Any other
        // exception (a signal handler's, MemoryError) ends the call.
        if (!filled_) clear_expected({PyExc_BufferError, PyExc_TypeError, PyExc_ValueError});
    }
    ~BufferView() {
        if (filled_) PyBuffer_Release(&view_);
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;

    bool filled() const { return filled_; }
    const Py_buffer& get() const { return view_; }

private:
    Py_buffer view_{};
    bool filled_ = false;
};

enum class Kind { none, i8, u8, i16, u16, i32, u32, i64, u64 };

// Integer codes with native ('@' or none) or standard ('=', '<') sizes, in
// little-endian or native order. Anything else is not read directly.
Kind integer_kind(const char* format, Py_ssize_t itemsize) {
    if (format == nullptr) return Kind::none;
    bool standard = false;
    if (*format == '@') {
        ++format;
    } else if (*format == '=' || *format == '<') {
        standard = true;
        ++format;
    }
    if (format[0] == '\0' || format[1] != '\0') return Kind::none;
    Py_ssize_t size = 0;
    bool is_signed = false;
    switch (format[0]) {
        case 'b': is_signed = true; [[fallthrough]];
        case 'B': size = 1; break;
        case 'h': is_signed = true; [[fallthrough]];
        case 'H': size = 2; break;
        case 'i': is_signed = true; [[fallthrough]];
        case 'I': size = 4; break;
        case 'l': is_signed = true; [[fallthrough]];
        case 'L': size = standard ? 4 : static_cast<Py_ssize_t>(sizeof(long)); break;
        case 'q': is_signed = true; [[fallthrough]];
        case 'Q': size = 8; break;
        default: return Kind::none;
    }
    if (size != itemsize) return Kind::none;
    switch (size) {
        case 1: return is_signed ? Kind::i8 : Kind::u8;
        case 2: return is_signed ? Kind::i16 : Kind::u16;
        case 4: return is_signed ? Kind::i32 : Kind::u32;
        default: return is_signed ? Kind::i64 : Kind::u64;
    }
}

// Runs fn(begin, end) over [0, n) a piece at a time, giving other threads a turn
// and looking at pending signals between pieces now and then: a copy of
// gigabytes takes a good part of a second. (Another thread may then write the
// buffer, as it may change a list being read.)
template <class Fn>
void in_pieces(std::size_t n, Fn&& fn) {
    constexpr std::size_t kPiece = std::size_t{1} << 20;
    SignalPace pace(1);
    for (std::size_t begin = 0; begin < n; begin += kPiece) {
        if (begin != 0) pace.step();
        fn(begin, std::min(n, begin + kPiece));
    }
}

template <class Source, class Out>
BufferRead copy_checked(const Py_buffer& view, Out& out) {
    using Target = typename Out::value_type;
    constexpr auto bound = static_cast<unsigned long long>(std::numeric_limits<Target>::max());
    const auto n = static_cast<std::size_t>(view.shape[0]);
    const Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : view.itemsize;
    const char* base = static_cast<const char*>(view.buf);
    if constexpr (std::is_same_v<Source, Target>) {
        // Copied in one pass: resizing first would write every byte twice.
        const bool aligned = reinterpret_cast<std::uintptr_t>(base) % alignof(Source) == 0;
        if (stride == static_cast<Py_ssize_t>(sizeof(Source)) && aligned) {
            const auto* first = reinterpret_cast<const Source*>(base);
            if constexpr (std::is_same_v<Out, WordVec>) {
                out.resize(n);  // writes nothing
                in_pieces(n, [&](std::size_t begin, std::size_t end) {
                    stream_copy(out.data() + begin, first + begin, (end - begin) * sizeof(Source));
                });
            } else {
                out.reserve(n);
                in_pieces(n, [&](std::size_t begin, std::size_t end) {
                    out.insert(out.end(), first + begin, first + end);
                });
            }
            return BufferRead::converted;
        }
    }
    out.resize(n);
    Target* dst = out.data();
    bool in_range = true;
    in_pieces(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            Source value;
            std::memcpy(&value, base + static_cast<Py_ssize_t>(i) * stride, sizeof value);
            if constexpr (std::is_signed_v<Source>) in_range &= value >= 0;
            in_range &= static_cast<unsigned long long>(value) <= bound;
            // A negative value is refused below; its bits are written meanwhile.
            dst[i] = static_cast<Target>(static_cast<std::make_unsigned_t<Source>>(value));
        }
    });
    if (!in_range) {
        out.clear();
        return BufferRead::rejected;
    }
    return BufferRead::converted;
}

template <class Out>
BufferRead read_into(PyObject* obj, Out& out) {
    BufferView holder(obj);
    if (!holder.filled()) return BufferRead::not_applicable;
    const Py_buffer& view = holder.get();
    if (view.ndim != 1 || view.shape == nullptr || view.suboffsets != nullptr) {
        return BufferRead::not_applicable;
    }
    switch (integer_kind(view.format, view.itemsize)) {
        case Kind::i8: return copy_checked<std::int8_t>(view, out);
        case Kind::u8: return copy_checked<std::uint8_t>(view, out);
        case Kind::i16: return copy_checked<std::int16_t>(view, out);
        case Kind::u16: return copy_checked<std::uint16_t>(view, out);
        case Kind::i32: return copy_checked<std::int32_t>(view, out);
        case Kind::u32: return copy_checked<std::uint32_t>(view, out);
        case Kind::i64: return copy_checked<std::int64_t>(view, out);
        case Kind::u64: return copy_checked<std::uint64_t>(view, out);
        case Kind::none: break;
    }
    return BufferRead::not_applicable;
}

}  // namespace

BufferRead read_integer_buffer(PyObject* obj, WordVec& out) {
    return read_into(obj, out);
}
BufferRead read_integer_buffer(PyObject* obj, ByteVec& out) {
    return read_into(obj, out);
}

}  // namespace vak::py
